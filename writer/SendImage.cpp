// SPDX-License-Identifier: GPL-2.0-or-later
#include "writer/SendImage.h"

#include "image/ProgramImage.h"
#include "link/Link.h"
#include "link/PortSettings.h"
#include "writer/StepTracker.h"

namespace qw735 {

namespace {

constexpr std::uint8_t ProgramCommand = 0x50;   // host: "P", program the image (followed by 0x00)
constexpr std::uint8_t CommandAccepted = 0x06;  // target: command, or the whole image, accepted

void SendSize(Link &link, StepTracker &steps, std::int32_t size)
{
    steps.SetStep(WireStep::Size);
    for (int i = 0; i < 4; ++i)
        link.SendByte(0x00);
    for (int shift = 24; shift >= 0; shift -= 8)
        link.SendByte(static_cast<std::uint8_t>((static_cast<std::uint32_t>(size) >> shift) & 0xFF));
}

}  // namespace

std::int32_t TransferSize(std::int32_t maxAddress)
{
    // Integer form of rounding maxAddress / 64 half to even: no dependence
    // on the floating-point rounding mode.
    std::int64_t blocks = maxAddress / BlockSize;
    const std::int32_t rest = maxAddress % BlockSize;
    if (rest > BlockSize / 2 || (rest == BlockSize / 2 && blocks % 2 == 1))
        ++blocks;
    return static_cast<std::int32_t>((blocks + 1) * BlockSize);
}

std::uint8_t ImageChecksum(std::span<const std::uint8_t> sent)
{
    std::uint8_t sum = 0;
    for (std::uint8_t value : sent)
        sum = static_cast<std::uint8_t>(sum + value);
    return static_cast<std::uint8_t>(~sum);
}

std::uint8_t ImageChecksum(const ProgramImage &image)
{
    return ImageChecksum(std::span(image.ImageBuffer.data(), static_cast<std::size_t>(TransferSize(image.MaxAddress))));
}

TransferResult SendImage(Link &link, const ProgramImage &image, StepTracker &steps, const WriteOptions &options)
{
    steps.SetStep(WireStep::Command);
    if (!link.ChangeSettings(LoaderSettings()))
        return TransferResult::LinkDown;
    // The loader the end mark announced starts by setting up its UART, and
    // loses what reaches it sooner. The switch of speed in place takes well
    // under a millisecond, so that time is given here.
    // The wait starts after the end mark was taken, so no byte at the new
    // speed leaves sooner than the loader start after it. Whatever came
    // meanwhile answers nothing: the loader has not been asked.
    // A link that went down meanwhile ends the wait early; the drop says so.
    static_cast<void>(link.Delay(options.loaderStartMs));
    if (!link.DiscardInput())
        return TransferResult::LinkDown;

    link.SendByte(ProgramCommand);
    link.SendByte(0x00);
    if (const auto result = TransferResultOf(link.WaitForByte(CommandAccepted)); result != TransferResult::Done)
        return result;

    const std::int32_t size = TransferSize(image.MaxAddress);
    SendSize(link, steps, size);
    const std::span<const std::uint8_t> sent(image.ImageBuffer.data(), static_cast<std::size_t>(size));

    // The progress value keeps the loader's length until the first block is out.
    steps.SetMaximum(static_cast<float>(size));
    for (std::int32_t position = 0; position < size;) {
        steps.SetStep(WireStep::Block, position / BlockSize + 1);
        if (const auto result = TransferResultOf(link.WaitForByte(BlockMark)); result != TransferResult::Done)
            return result;
        // The loader asks for each block: never more than one block ahead,
        // and no pause between the bytes of a block.
        link.SendByte(BlockMark);
        link.SendBytes(sent.subspan(static_cast<std::size_t>(position), BlockSize));
        position += BlockSize;
        steps.SetValue(static_cast<float>(position));
    }
    steps.SetValue(static_cast<float>(size));

    // The size is a multiple of 64, so this request is for the checksum.
    steps.SetStep(WireStep::Checksum);
    if (const auto result = TransferResultOf(link.WaitForByte(BlockMark)); result != TransferResult::Done)
        return result;
    link.SendByte(BlockMark);
    link.SendByte(ImageChecksum(sent));
    steps.SetStep(WireStep::Final);
    if (const auto result = TransferResultOf(link.WaitForByte(CommandAccepted)); result != TransferResult::Done)
        return result;
    steps.SetValue(0);
    return TransferResult::Done;
}

}  // namespace qw735
