// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

namespace qw735 {

// The texts a write ends with. Kept to the letter: operators and scripts
// match on them ("S File Err " has its trailing blank).
inline constexpr const char *MessageOk = "O.K.";
inline constexpr const char *MessageHandshakeFailed = "Err 1";
inline constexpr const char *MessageLoaderNoReply = "Time Out Farm Err";
inline constexpr const char *MessageLoaderWrongReply = "Farm Err";
inline constexpr const char *MessageLoaderMissing = "Not Found TQW735.BIN";
inline constexpr const char *MessageImageNoReply = "Time Out S File Err";
inline constexpr const char *MessageImageWrongReply = "S File Err ";

// The application title every result box carries.
inline constexpr const char *ApplicationTitle = "QW735";

}  // namespace qw735
