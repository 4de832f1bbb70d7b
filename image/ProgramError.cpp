// SPDX-License-Identifier: GPL-2.0-or-later
#include "image/ProgramError.h"

namespace qw735 {

const char *FormatName(ProgramFormat format)
{
    switch (format) {
    case ProgramFormat::SRecord: return "S-record";
    case ProgramFormat::IntelHex: return "Intel HEX";
    case ProgramFormat::Elf: return "ELF";
    case ProgramFormat::Binary: return "binary";
    }
    return "unknown";
}

std::string DescribeProgramError(const ProgramError &error, std::string_view file)
{
    const std::string name(file);
    switch (error.kind) {
    case ProgramError::Kind::CannotOpen: return "Cannot open S-record file " + name + ": " + error.detail;
    case ProgramError::Kind::NotReadable:
    case ProgramError::Kind::CannotRead: return "Cannot read S-record file " + name + ": " + error.detail;
    case ProgramError::Kind::NotRecognized:
    case ProgramError::Kind::Utf16WithoutMark: return name + " is not an S-record, Intel HEX or ELF file";
    case ProgramError::Kind::BadRecord:
    case ProgramError::Kind::BadChecksum:
    case ProgramError::Kind::BadElf: break;
    }
    return FormatName(error.format) + (" file " + name) + (error.line ? ", line " + std::to_string(error.line) : std::string()) + ": " +
           error.detail;
}

}  // namespace qw735
