// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/PgServer.h"

#include "tests/support/Ser2netServer.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace qw735::test {

namespace {

// Arguments pass through the shell: every one quoted.
std::string Quoted(const std::string &text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string PgServer::BinDir()
{
    // Debian keeps the server's programs out of PATH, by major version.
    for (const char *dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin", "/usr/lib/postgresql/17/bin"}) {
        if (::access((std::string(dir) + "/pg_ctl").c_str(), X_OK) == 0 && ::access((std::string(dir) + "/initdb").c_str(), X_OK) == 0)
            return dir;
    }
    return {};
}

PgServer::PgServer() : PgServer(Options{}) {}

PgServer::PgServer(Options options) : bin_(BinDir()), options_(std::move(options))
{
    if (bin_.empty())
        throw PgMissing("PostgreSQL's initdb and pg_ctl are not installed (Debian: postgresql); scripts/install-deps.sh check installs them");
    char dir[] = "/tmp/qw735-pg-XXXXXX";
    if (!::mkdtemp(dir))
        throw std::runtime_error("cannot make a directory for PostgreSQL");
    dir_ = dir;
    const std::string data = dir_ + "/data";
    std::filesystem::create_directory(data);
    std::string auth = "--auth-local=trust --auth-host=trust";
    if (!options_.password.empty()) {
        std::ofstream(dir_ + "/pw") << options_.password << '\n';
        auth = "--auth-local=trust --auth-host=scram-sha-256 --pwfile=" + Quoted(dir_ + "/pw");
    }
    if (!options_.tlsCert.empty()) {
        // The server reads its key only when it is its own and private.
        std::filesystem::copy_file(options_.tlsCert, dir_ + "/server.crt");
        std::filesystem::copy_file(options_.tlsKey, dir_ + "/server.key");
        std::filesystem::permissions(dir_ + "/server.key", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }
    if (::geteuid() == 0)
        Run("chown", "-R nobody:nogroup " + Quoted(dir_), false);
    Run(bin_ + "/initdb", "-D " + Quoted(data) + " -U qw735 -E UTF8 --no-sync " + auth, true);
    port_ = FreeTcpPort();
    Start();
    Run(bin_ + "/psql", "-X -q -h " + Quoted(dir_) + " -p " + std::to_string(port_) + " -U qw735 -d postgres -c 'CREATE DATABASE line'", false);
}

PgServer::~PgServer()
{
    try {
        Stop();
    } catch (const std::exception &) {
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string PgServer::Url() const
{
    return "postgresql://qw735@127.0.0.1:" + std::to_string(port_) + "/line";
}

void PgServer::Start()
{
    std::string settings = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " + dir_ + " -c fsync=off";
    if (!options_.tlsCert.empty())
        settings += " -c ssl=on -c ssl_cert_file=" + dir_ + "/server.crt -c ssl_key_file=" + dir_ + "/server.key";
    Run(bin_ + "/pg_ctl", "-D " + Quoted(dir_ + "/data") + " -l " + Quoted(dir_ + "/server.log") + " -w -t 30 -o " + Quoted(settings) + " start", true);
    running_ = true;
}

void PgServer::Stop()
{
    if (!running_)
        return;
    running_ = false;
    Run(bin_ + "/pg_ctl", "-D " + Quoted(dir_ + "/data") + " -m immediate -w stop", true);
}

std::string PgServer::Query(const std::string &sql) const
{
    const std::string file = dir_ + "/query.sql";
    std::ofstream(file) << sql << '\n';
    return Run(bin_ + "/psql", "-X -q -A -t -v ON_ERROR_STOP=1 -h " + Quoted(dir_) + " -p " + std::to_string(port_) + " -U qw735 -d line -f " + Quoted(file), false);
}

std::string PgServer::Run(const std::string &program, const std::string &args, bool asOwner) const
{
    std::string command = Quoted(program) + " " + args + " 2>&1";
    // From a folder nobody may enter (a checkout under /root) the server's
    // programs could not find their own way back.
    if (asOwner && ::geteuid() == 0)
        command = "cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups " + command;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        throw std::runtime_error("cannot run " + program);
    std::string output;
    std::array<char, 4096> buffer{};
    std::size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        output.append(buffer.data(), n);
    if (::pclose(pipe) != 0) {
        std::ifstream log(dir_ + "/server.log");
        const std::string serverLog((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        throw std::runtime_error(program + " " + args + " failed: " + output + serverLog);
    }
    return output;
}

}  // namespace qw735::test
