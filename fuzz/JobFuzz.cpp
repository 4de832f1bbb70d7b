// SPDX-License-Identifier: GPL-2.0-or-later
// Fuzz target for the job file reader: whatever a job file holds.
//
// A text is read as a job or refused with a message naming where. A job
// read is written again, and that text must read back as the same job and
// write as the same text: what --make-job writes, a station reads as made.

#include "fuzz/FuzzCheck.h"
#include "production/JobText.h"

#include <cstdint>
#include <string_view>

using qw735::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto job = qw735::ParseJob(text);
    if (!job) {
        Check(job.error().line >= 0, "JobFuzz", "a negative line");
        Check(!qw735::DescribeJobError(job.error(), "job.toml").empty(), "JobFuzz", "an empty message");
        return 0;
    }
    const auto written = qw735::JobText(*job);
    Check(written.has_value(), "JobFuzz", "a job read cannot be written");
    const auto again = qw735::ParseJob(*written);
    Check(again.has_value(), "JobFuzz", "a job written does not read back");
    Check(*again == *job, "JobFuzz", "a job written reads back as another job");
    Check(qw735::JobText(*again).value_or("") == *written, "JobFuzz", "a job written twice gives two texts");
    return 0;
}
