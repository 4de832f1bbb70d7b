// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qw735 {

class LoadTally;
struct ProgramImage;

// Reads a raw binary file into the image: its bytes, whatever they are, are
// the image from the address the user gave on. The whole file counts as one
// record, with data when it is not empty.
class BinaryLoader {
public:
    // The loader stores into `image` through `tally`; neither may go before it.
    BinaryLoader(ProgramImage &image, LoadTally &tally, std::uint64_t at);

    void Feed(const char *data, std::size_t size);
    void Finish();

    // "at 0x1000".
    std::string Describe() const;

private:
    ProgramImage &image_;
    LoadTally &tally_;
    std::uint64_t at_;
    std::uint64_t offset_ = 0;  // bytes taken so far
};

}  // namespace qw735
