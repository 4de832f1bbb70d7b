// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "link/SerialPort.h"
#include "sim/TargetSim.h"
#include "tests/support/Process.h"

#include <QTemporaryDir>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace qw735::test {

// The loader and image every row writes: a 40-byte loader (unless the row
// says otherwise) and an image of three blocks (MaxAddress 0x9F).
inline constexpr int MatrixLoaderSize = 40;
inline constexpr int MatrixBlocks = 3;

// Every way a write can go wrong that a front end must report, with what the
// user must see and how much the host may have sent by then. Shared by the
// command-line and window tests so both front ends face the same faults.
struct FaultRow {
    // What is wrong besides the board's script.
    enum class Setup {
        None,
        PortBusy,             // this process holds the port
        PortBusyThroughLink,  // this process holds the port, opened through a symbolic link to it
        PortHeldWithoutALock, // another program has the port open and takes no lock (`cat PORT`)
        LoaderMissing,
        LoaderEmpty,
        LoaderTooLarge,
        SRecordRemoved,
        SRecordMalformed,
        ServerKilled,  // the remote port's server dies once the host has sent bytesSent
        ServerWithoutItsDevice,  // the remote port's server is set up with a device that is not there
        // Files that are not regular files.
        SRecordPipe, LoaderPipe, SRecordDevice, LoaderDevice, SRecordDirectory, SRecordSocket,
        SRecordPipePortBusy,  // and this process holds the port: which is judged first?
        // The program as other tools write it: Intel HEX from srec_cat,
        // UTF-16 with its byte-order mark from iconv.
        ProgramAsIntelHex, ProgramAsUtf16,
        // One file named as both the loader and the program: the same path,
        // a hard link, or a pipe.
        LoaderIsTheProgram, LoaderIsAHardLinkToTheProgram, OnePipeForLoaderAndProgram,
    };
    // How the window ends instead, where it differs: it reads regular files only.
    struct WindowEnding {
        const char *message;
        std::size_t bytesSent;
    };

    std::string name;
    std::function<void(sim::BoardScript &)> script;
    Setup setup = Setup::None;
    int exitStatus = 0;
    // The message; {port}, {mot} and {loader} stand for the paths used,
    // {pid} for this process's ID, {holder} for the other program's.
    QString message;
    std::size_t bytesSent = 0;     // the host sends nothing after these
    std::optional<WindowEnding> window = std::nullopt;
    bool remote = false;  // written through rfc2217:// to ser2net in front of the board
    // When not empty, the program file holds this instead (any format; the
    // file keeps its name program.mot, since the content decides).
    std::optional<QByteArray> program = std::nullopt;
    bool tls = false;     // through rfc2217+tls:// instead, certificates on both sides
    // The loader's size: rows that pay for every echo (a slow line) take a
    // small one.
    int loaderSize = MatrixLoaderSize;
    // Options the command line is given besides the loader (the window has
    // none of them: such a row says how the window ends instead).
    QStringList args = {};
    // Also run through a remote port, ending there in `remoteMessage` when
    // that is set (a remote port tells less of a board that went away).
    bool runsRemotely = false;
    const char *remoteMessage = nullptr;
    bool remotePlainOnly = false;  // not also through TLS: it adds nothing to what the row checks
    // How long the write takes, start to message, and the CPU it may burn:
    // a reply that never comes is waited for 3 s, the 0xAA for 500 ms, each
    // of 51 0x00 for 10 ms; an unplugged adapter ends the write at once,
    // without the driver's repeated errors keeping the CPU busy.
    struct Time {
        int atLeastMs = 0;
        int belowMs = 60'000;
        int cpuBelowMs = 60'000;
    } time = {};
};

extern const char *const MatrixProgram;
extern const char *const MatrixMalformedProgram;

// A little-endian 32-bit ELF file with one program header per entry of
// `segments` (type, file offset, physical address, file size, memory size),
// followed by `data`, then, when there are `sections` (type, flags, file
// offset, size), their header table after an unused first entry.
// Hand-made for faults no linker writes.
struct ElfSegment {
    std::uint32_t type, offset, address, fileSize, memorySize;
};
struct ElfSection {
    std::uint32_t type, flags, offset, size;
};
inline constexpr std::uint32_t ElfProgbits = 1, ElfNobits = 8;  // section types
inline constexpr std::uint32_t ElfAllocated = 2;                // SHF_ALLOC
QByteArray Elf32(const std::vector<ElfSegment> &segments, const QByteArray &data, const std::vector<ElfSection> &sections = {});

enum class FrontEnd { CommandLine, Window };

// The rows as `frontEnd` must end them.
std::vector<FaultRow> FaultRows(FrontEnd frontEnd);
// The command line's row of that name, for tests that put a few boards side
// by side.
FaultRow FaultRowNamed(const std::string &name);
// The rows that also run through a remote port (rfc2217:// to ser2net in
// front of the board, or rfc2217+tls:// with `tls`), with the same messages
// and statuses, and the faults only a remote port has.
std::vector<FaultRow> RemoteFaultRows(bool tls = false);

inline void PrintTo(const FaultRow &row, std::ostream *out)
{
    *out << row.name;
}

// The stage one row plays on: the board with the row's script, the loader
// and S-record files as the row wants them, and the port held by another
// program when the row says so.
struct FaultStage {
    explicit FaultStage(const FaultRow &row);

    const FaultRow row;
    QTemporaryDir dir;
    sim::TargetSim board;
    QString device;  // the board's port
    QString loader;
    QString mot;
    std::optional<SerialPort> holder;
    std::optional<Process> lockless;  // holds the port without a lock
    std::jthread feeder;  // writes into a pipe that stands for a file

    // Checks how the write ended: what the front end showed against the
    // row's message, with the port named as the front end names it; after a
    // moment for stragglers, that the host sent nothing after the failing
    // step; and that a write the row lets succeed put the program on the board.
    void ExpectEnding(const QString &shown, const QString &portName) const;

private:
    // Replaces the file at `path` by a FIFO that gets `data` once a reader
    // opens it.
    void FileIntoPipe(const QString &path, const QByteArray &data);
};

// Bytes the board received, not counting repeated synchronisation bytes: a
// board slowed down by a busy machine answers after the 10 ms interval and
// the host sends another 0x00, as it should.
std::size_t CountedBytes(const std::vector<sim::ReceivedByte> &received);
// Waits until `board` has received `count` counted bytes, `limit` at most.
void WaitForCounted(const sim::TargetSim &board, std::size_t count, std::chrono::milliseconds limit);

// The row's message with the placeholders filled in.
QString ExpectedMessage(const FaultRow &row, const QString &port, const QString &mot, const QString &loader, pid_t holder = 0);

}  // namespace qw735::test
