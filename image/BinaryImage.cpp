// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/BinaryImage.h"

#include "image/LoadTally.h"

#include <cstdio>
#include <span>

namespace qw735 {

BinaryLoader::BinaryLoader(ProgramImage &image, LoadTally &tally, std::uint64_t at) : image_(image), tally_(tally), at_(at)
{
    ++tally_.records;
}

void BinaryLoader::Feed(const char *data, std::size_t size)
{
    tally_.Store(image_, at_ + offset_, std::span(reinterpret_cast<const std::uint8_t *>(data), size));
    offset_ += size;
}

void BinaryLoader::Finish()
{
    tally_.dataRecords = offset_ > 0;
}

std::string BinaryLoader::Describe() const
{
    char at[40];
    std::snprintf(at, sizeof at, "at 0x%llX", static_cast<unsigned long long>(at_));
    return at;
}

}  // namespace qw735
