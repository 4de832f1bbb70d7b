// SPDX-License-Identifier: GPL-2.0-or-later
#include "sequence/LineSequence.h"

#include <gtest/gtest.h>

namespace qw735 {
namespace {

TEST(LineSequence, ParsesStepsAndNames)
{
    const struct {
        const char *text;
        const char *steps;  // as the language writes them back
        ModemLines rest;
        int waitMs;
        const char *name = "";
    } rows[] = {
        {"D1", "D1", {true, false}, 0},
        {"d1r0, W50 ,R1", "D1R0,W50,R1", {true, true}, 50},
        {"R0D1", "D1R0", {true, false}, 0},
        {"D1R1,W10000,D0", "D1R1,W10000,D0", {false, true}, 10000},
        {"reset-dtr-mode-rts", "D1R0,W100,D0R1,W50,D0R0", {false, false}, 150, "reset-dtr-mode-rts"},
        {"reset-rts-mode-dtr", "D0R1,W100,D1R0,W50,D0R0", {false, false}, 150, "reset-rts-mode-dtr"},
        {"reset-dtr", "D1R0,W100,D0R0", {false, false}, 100, "reset-dtr"},
        {"reset-rts", "D0R1,W100,D0R0", {false, false}, 100, "reset-rts"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const auto sequence = ParseSequence(QString::fromUtf8(row.text));
        ASSERT_TRUE(sequence) << sequence.error().text.toStdString();
        EXPECT_EQ(sequence->Text().toStdString(), row.steps);
        EXPECT_EQ(sequence->Rest(), row.rest);
        EXPECT_EQ(sequence->WaitMs(), row.waitMs);
        EXPECT_EQ(sequence->name.toStdString(), row.name);
        EXPECT_EQ(sequence->Label().toStdString(), *row.name ? row.name : row.steps);
    }
}

TEST(LineSequence, RefusesWhatIsNoStep)
{
    using enum SequenceError::Kind;
    const std::string noStep = "is no step: write D1 or D0 (DTR on or off), R1 or R0 (RTS), both at once as D1R0, W and a "
                               "time in ms (W50), or a sequence's name (--list-sequences)";
    const struct {
        const char *text;
        SequenceError::Kind kind;
        std::string message;
    } rows[] = {
        {"", Empty, "the sequence is empty"},
        {"D1,,D0", Empty, "an empty step in \"D1,,D0\""},
        {"D2", UnknownStep, "\"D2\" " + noStep},
        {"X1", UnknownStep, "\"X1\" " + noStep},
        {"D1R", UnknownStep, "\"D1R\" " + noStep},
        {"reset-dtr-mode", UnknownStep, "\"reset-dtr-mode\" " + noStep},
        {"D1D0", LineTwice, "\"D1D0\" names DTR twice"},
        {"R1R1", LineTwice, "\"R1R1\" names RTS twice"},
        {"W0", BadWait, "\"W0\": a wait is W and 1 to 10000 ms"},
        {"W10001", BadWait, "\"W10001\": a wait is W and 1 to 10000 ms"},
        {"W", BadWait, "\"W\": a wait is W and 1 to 10000 ms"},
        {"W-5", BadWait, "\"W-5\": a wait is W and 1 to 10000 ms"},
        {"W+5", BadWait, "\"W+5\": a wait is W and 1 to 10000 ms"},
        {"D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1,D0,D1", TooLong,
         "a sequence has at most 32 steps"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const auto sequence = ParseSequence(QString::fromUtf8(row.text));
        ASSERT_FALSE(sequence);
        EXPECT_EQ(sequence.error().kind, row.kind);
        EXPECT_EQ(sequence.error().text.toStdString(), row.message);
    }
}

}  // namespace
}  // namespace qw735
