// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/HostFixture.h"

#include "link/PortSettings.h"
#include "remote/TelnetCodec.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTcpSocket>
#include <QTimer>
#include <sys/resource.h>

namespace qw735::test {

HostSide::HostSide(sim::BoardScript script) : board(std::make_unique<sim::TargetSim>(std::move(script)))
{
    port.SelectDevice(QString::fromStdString(board->SlavePath()));
}

sim::BoardScript Script(const std::function<void(sim::BoardScript &)> &change)
{
    sim::BoardScript script;
    change(script);
    return script;
}

bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

std::chrono::microseconds ProcessCpuTime()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval &t) { return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec); };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

QByteArray TestLoader(int size)
{
    const QByteArray hard("\x11\x13\x0A\x0D\xFF\x00\x7F\x80", 8);
    QByteArray loader(size, 0);
    for (int i = 0; i < size; ++i)
        loader[i] = i < hard.size() ? hard[i] : static_cast<char>((i * 7 + 0x11) & 0xFF);
    return loader;
}

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray bytes;
    for (int value : values)
        bytes.append(static_cast<char>(value));
    return bytes;
}

QString WriteFile(const QTemporaryDir &dir, const QString &name, const QByteArray &data)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(data);
    return path;
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool PortIsFree(const QString &device)
{
    SerialPort port;
    port.SelectDevice(device);
    return port.Open().has_value();
}

ScriptedPeer::ScriptedPeer(Answer answer)
{
    using namespace telnet;
    server_.listen(QHostAddress::LocalHost);
    QObject::connect(&server_, &QTcpServer::newConnection, [this, answer] {
        QTcpSocket *client = server_.nextPendingConnection();
        const QByteArray flood(64 * 1024, '\x5A');
        const auto pour = [client, flood] {
            while (client->bytesToWrite() < 4 * flood.size())
                client->write(flood);
        };
        if (answer == Answer::Floods)
            QObject::connect(client, &QTcpSocket::bytesWritten, client, pour);
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, answer, pour] {
            const QByteArray in = client->readAll();
            if (answer == Answer::Silent)
                return;
            if (answer == Answer::Floods || in.contains(Bytes({Iac, Will, OptionComPort})))
                client->write(Bytes({Iac, answer == Answer::Refuses ? Dont : Do, OptionComPort}));
            if (answer == Answer::Floods)
                return pour();
            // Each command is IAC SB 44 command value IAC SE; the server
            // answers with the command + 100 and the same value.
            const QByteArray start = Bytes({Iac, Sb, OptionComPort});
            for (qsizetype at = in.indexOf(start); at >= 0; at = in.indexOf(start, at + 1)) {
                QByteArray reply = in.mid(at, in.indexOf(Bytes({Iac, Se}), at) + 2 - at);
                const std::uint8_t command = static_cast<std::uint8_t>(reply[3]);
                purges += command == PurgeData;
                reply[3] = static_cast<char>(command + ServerAnswer);
                QTimer::singleShot(command == SetBaudRate ? SpeedAnswerMs : 0, client, [client, reply] { client->write(reply); });
            }
        });
    });
}

QString ScriptedPeer::Url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(server_.serverPort());
}

WriteBench::WriteBench(sim::BoardScript script, int loaderSize)
    : host(std::move(script)),
      loaderPath(WriteFile(dir, QStringLiteral("tqw735.bin"), TestLoader(loaderSize))),
      fileSystem(FileSystem::WithLoaderFile(loaderPath))
{
}

WriteResult WriteBench::Write(const QByteArray &mot)
{
    if (!host.port.ChangeSettings(BootSettings()))
        return {WriteOutcome::PortLost, QStringLiteral("cannot set")};
    BoardRun run(host.port, host.link,
                 FilesToRead{PathName(QFile::encodeName(WriteFile(dir, QStringLiteral("program.mot"), mot))),
                             PathName(QFile::encodeName(fileSystem.LoaderPath()))},
                 WriteOptions{});
    run.ShowProgress(progress);
    run.ShowResultIn(messages);
    return run.Run().result;
}

}  // namespace qw735::test
