// SPDX-License-Identifier: GPL-2.0-or-later
#include "numbering/SerialSources.h"

#include "base/ReadRest.h"
#include "base/UniqueFd.h"
#include "numbering/SerialFormat.h"
#include "numbering/StateFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qw735 {

namespace {

// At most this much of a line that is not a value is quoted.
constexpr std::size_t QuotedLength = 40;

std::string Excerpt(std::string_view text)
{
    constexpr std::string_view Blanks = " \t\r\n";
    text.remove_prefix(std::min(text.find_first_not_of(Blanks), text.size()));
    text = text.substr(0, text.find_last_not_of(Blanks) + 1);
    return "'" + QuotedText(text.substr(0, QuotedLength)) + (text.size() > QuotedLength ? "...'" : "'");
}

SerialError Error(SerialError::Kind kind, std::string text)
{
    return SerialError{kind, std::move(text)};
}

// The next number kept in a file of its own.
class CounterSource final : public SerialSource {
public:
    explicit CounterSource(StateFile state) : state_(std::move(state)) {}

    std::expected<std::uint64_t, SerialError> Take(const std::atomic<bool> *giveUp) override
    {
        const std::lock_guard threads(mutex_);
        const auto lock = state_.Lock(giveUp);
        if (!lock)
            return std::unexpected(lock.error());
        const auto next = Peek();
        if (!next)
            return next;
        if (*next == UINT64_MAX)
            return std::unexpected(Error(SerialError::Kind::Exhausted, "The counter file " + state_.Shown() + " is at " +
                                                                           std::to_string(*next) + ", the largest number there is"));
        // The number is the board's only once the next one is on the disk:
        // a crash before then leaves it to the next take.
        if (const auto stored = state_.Replace(std::to_string(*next + 1) + "\n"); !stored)
            return std::unexpected(stored.error());
        return *next;
    }

    std::expected<std::uint64_t, SerialError> Peek() const override
    {
        const auto text = state_.Read();
        if (!text)
            return std::unexpected(text.error());
        if (!*text)
            return std::unexpected(Error(SerialError::Kind::CannotOpen, "Cannot read " + state_.Described() + ": " + std::strerror(ENOENT)));
        const auto next = ParseSerialValue(**text);
        if (!next)
            return std::unexpected(Error(SerialError::Kind::BadContent, "The counter file " + state_.Shown() + " holds " + Excerpt(**text) +
                                                                            ", not the next number (decimal, or hexadecimal after 0x)"));
        return *next;
    }

    std::string Describe() const override { return "counter:" + state_.Shown(); }

private:
    StateFile state_;
    std::mutex mutex_;
};

// One value of a list, and where it stands.
struct ListValue {
    std::uint64_t value = 0;
    long line = 0;
};

// Values given once each, in the order of a file's lines; which were taken
// is kept beside it.
class ListSource final : public SerialSource {
public:
    ListSource(std::string file, StateFile used) : file_(std::move(file)), shown_(ShownPath(file_)), used_(std::move(used)) {}

    std::expected<std::uint64_t, SerialError> Take(const std::atomic<bool> *giveUp) override
    {
        const std::lock_guard threads(mutex_);
        const auto lock = used_.Lock(giveUp);
        if (!lock)
            return std::unexpected(lock.error());
        const auto next = Next();
        if (!next)
            return std::unexpected(next.error());
        if (const auto stored = used_.Replace(std::to_string(next->taken + 1) + " " + std::to_string(next->value) + "\n"); !stored)
            return std::unexpected(stored.error());
        return next->value;
    }

    std::expected<std::uint64_t, SerialError> Peek() const override
    {
        const std::lock_guard threads(mutex_);
        const auto next = Next();
        if (!next)
            return std::unexpected(next.error());
        return next->value;
    }

    std::string Describe() const override { return "list:" + shown_; }

private:
    // The value to take next, and how many were taken before it.
    struct NextValue {
        std::uint64_t value;
        std::uint64_t taken;
    };

    // Called with mutex_ held.
    std::expected<NextValue, SerialError> Next() const
    {
        const auto read = Values();
        if (!read)
            return std::unexpected(read.error());
        const std::vector<ListValue> *values = *read;
        const auto used = Used();
        if (!used)
            return std::unexpected(used.error());
        const auto [taken, last] = *used;
        if (taken > values->size())
            return std::unexpected(Error(SerialError::Kind::ListChanged, "The list file " + shown_ + " has " + std::to_string(values->size()) +
                                                                             (values->size() == 1 ? " value, but " : " values, but ") + used_.Shown() + " says " + std::to_string(taken) +
                                                                             " were taken"));
        if (taken > 0 && (*values)[taken - 1].value != last) {
            const ListValue &now = (*values)[taken - 1];
            return std::unexpected(Error(SerialError::Kind::ListChanged,
                                         "The list file " + shown_ + " changed: its value " + std::to_string(taken) + " (line " +
                                             std::to_string(now.line) + ") was " + std::to_string(last) + " when it was taken and is " +
                                             std::to_string(now.value) + " now; " + used_.Shown() + " counts the values taken"));
        }
        if (taken == values->size())
            return std::unexpected(Error(SerialError::Kind::Exhausted, "The list file " + shown_ + " has no value left: all " +
                                                                           std::to_string(taken) + " were taken (" + used_.Shown() + ")"));
        return NextValue{(*values)[taken].value, taken};
    }

    // How many values were taken, and the last of them: (0, 0) before the
    // first take.
    std::expected<std::pair<std::uint64_t, std::uint64_t>, SerialError> Used() const
    {
        const auto text = used_.Read();
        if (!text)
            return std::unexpected(text.error());
        if (!*text)
            return std::pair<std::uint64_t, std::uint64_t>{0, 0};
        const std::string &held = **text;
        const std::size_t blank = held.find_first_of(" \t", held.find_first_not_of(" \t\r\n"));
        const auto taken = blank == std::string::npos ? std::nullopt : ParseSerialValue(std::string_view(held).substr(0, blank));
        const auto last = blank == std::string::npos ? std::nullopt : ParseSerialValue(std::string_view(held).substr(blank));
        if (!taken || !last || *taken == 0)
            return std::unexpected(Error(SerialError::Kind::BadContent, "The file " + used_.Shown() + " holds " + Excerpt(held) +
                                                                            ", not the count of values taken from " + shown_ +
                                                                            " and the last of them"));
        return std::pair{*taken, *last};
    }

    // The list's values, read again only when the file changed.
    std::expected<const std::vector<ListValue> *, SerialError> Values() const
    {
        const auto cannotRead = [this](int error) {
            return std::unexpected(Error(SerialError::Kind::CannotOpen, "Cannot read the list file " + shown_ + ": " + std::strerror(error)));
        };
        const UniqueFd fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat info {};
        if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0)
            return cannotRead(errno);
        if (!S_ISREG(info.st_mode))
            return cannotRead(EINVAL);
        const Stamp stamp{info.st_dev, info.st_ino, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
        if (stamp_ && *stamp_ == stamp)
            return &values_;

        const auto text = ReadRest(fd.Get());
        if (!text)
            return cannotRead(text.error());
        auto values = Parse(*text);
        if (!values)
            return std::unexpected(values.error());
        values_ = std::move(*values);
        stamp_ = stamp;
        return &values_;
    }

    std::expected<std::vector<ListValue>, SerialError> Parse(std::string_view text) const
    {
        std::vector<ListValue> values;
        long line = 0;
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size());
            const std::string_view held = text.substr(start, end - start);
            start = end + 1;
            ++line;
            if (held.find_first_not_of(" \t\r") == std::string_view::npos)
                continue;
            const auto value = ParseSerialValue(held);
            if (!value)
                return std::unexpected(Error(SerialError::Kind::BadContent, "The list file " + shown_ + ", line " + std::to_string(line) +
                                                                                ", holds " + Excerpt(held) + ", not a value"));
            values.push_back({*value, line});
        }
        // A value given twice would go to two boards.
        std::vector<ListValue> sorted = values;
        std::ranges::sort(sorted, {}, [](const ListValue &value) { return std::pair(value.value, value.line); });
        const auto twice = std::ranges::adjacent_find(sorted, {}, &ListValue::value);
        if (twice != sorted.end())
            return std::unexpected(Error(SerialError::Kind::BadContent, "The list file " + shown_ + " gives " + std::to_string(twice->value) +
                                                                            " twice, on lines " + std::to_string(twice->line) + " and " +
                                                                            std::to_string(std::next(twice)->line)));
        return values;
    }

    struct Stamp {
        dev_t device;
        ino_t inode;
        off_t size;
        time_t seconds;
        long nanoseconds;
        bool operator==(const Stamp &) const = default;
    };

    std::string file_;
    std::string shown_;
    StateFile used_;
    mutable std::mutex mutex_;
    mutable std::optional<Stamp> stamp_;
    mutable std::vector<ListValue> values_;
};

}  // namespace

std::expected<std::unique_ptr<SerialSource>, SerialError> OpenSerialSource(const SerialSourceText &source)
{
    std::unique_ptr<SerialSource> opened;
    switch (source.kind) {
    case SerialSourceText::Kind::Counter: {
        auto state = StateFile::Open(source.file, "the counter file");
        if (!state)
            return std::unexpected(state.error());
        opened = std::make_unique<CounterSource>(std::move(*state));
        break;
    }
    case SerialSourceText::Kind::List: {
        auto used = StateFile::Open(source.file + ".used", "the used-values file");
        if (!used)
            return std::unexpected(used.error());
        opened = std::make_unique<ListSource>(source.file, std::move(*used));
        break;
    }
    // The database's client lives a floor above (production opens it).
    case SerialSourceText::Kind::Database:
        return std::unexpected(SerialError{SerialError::Kind::BadSource, "the serial source " + source.Text() + " is a database, opened by the run"});
    }
    if (const auto next = opened->Peek(); !next && next.error().kind != SerialError::Kind::Exhausted)
        return std::unexpected(next.error());
    return opened;
}

}  // namespace qw735
