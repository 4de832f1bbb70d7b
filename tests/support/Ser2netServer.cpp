// SPDX-License-Identifier: GPL-2.0-or-later
#include "tests/support/Ser2netServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace qw735::test {

namespace {

using namespace std::chrono_literals;

constexpr auto StartLimit = 5s;

// The text of the file at `path`: what a helper program said.
std::string ReadText(const std::string &path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

int FreeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

Ser2netServer::Ser2netServer(const std::string &device) : Ser2netServer(device, Options{})
{
}

Ser2netServer::Ser2netServer(const std::string &device, Options options)
    : tls_(options.tls.has_value())
{
    char dir[] = "/tmp/qw735-ser2net-XXXXXX";
    if (!::mkdtemp(dir))
        throw std::runtime_error("cannot make a directory for ser2net");
    dir_ = dir;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (Start(device, options))
            return;
    }
    const std::string log = ReadText(dir_ + "/ser2net.log");
    Stop();
    RemoveFiles();
    throw std::runtime_error("ser2net did not start serving " + device + ": " + log);
}

Ser2netServer::~Ser2netServer()
{
    Stop();
    RemoveFiles();
}

void Ser2netServer::RemoveFiles() const
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string Ser2netServer::Url() const
{
    return std::string(tls_ ? "rfc2217+tls" : "rfc2217") + "://127.0.0.1:" + std::to_string(port_);
}

std::string Ser2netServer::Configuration(const std::string &device, int port, Options options)
{
    std::ostringstream yaml;
    std::string ssl;
    if (options.tls)
        ssl = "ssl(key=" + options.tls->key + ",cert=" + options.tls->cert + ",CA=" + options.tls->ca + ",clientauth),";
    yaml << "connection: &board\n"
         << "  accepter: telnet(rfc2217)," << ssl << (options.nodelay ? "tcp(nodelay)" : "tcp") << ",127.0.0.1," << port << "\n"
         << "  connector: serialdev," << device << ",9600n81,local\n"
         << "  options:\n"
         << "    kickolduser: " << (options.kickOldUser ? "true" : "false") << "\n";
    if (!options.chardelay)
        yaml << "    chardelay: false\n";
    if (options.tls)
        yaml << "    authdir: " << options.tls->authdir << "\n";
    return yaml.str();
}

bool Ser2netServer::Start(const std::string &device, Options options)
{
    Stop();
    // Another program may take the port before ser2net does; Start then
    // fails and the caller tries again.
    port_ = FreeTcpPort();
    const std::string config = dir_ + "/ser2net.yaml";
    std::ofstream(config) << Configuration(device, port_, options);
    const std::string pidFile = dir_ + "/ser2net.pid";
    const std::string log = dir_ + "/ser2net.log";

    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0)
        throw std::runtime_error("cannot fork for ser2net");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        ::execlp("ser2net", "ser2net", "-n", "-c", config.c_str(), "-P", pidFile.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }

    const auto deadline = std::chrono::steady_clock::now() + StartLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        if (Listening())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// Whether a socket listens on 127.0.0.1:port_. Read from the kernel's table
// rather than by connecting: a connection would make ser2net open the device.
bool Ser2netServer::Listening() const
{
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port_);
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A")
            return true;
    }
    return false;
}

void Ser2netServer::Kill()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

void Ser2netServer::Stop()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(5ms);
    }
    Kill();
}


TestCertificates::TestCertificates()
{
    char dir[] = "/tmp/qw735-certs-XXXXXX";
    if (!::mkdtemp(dir))
        throw std::runtime_error("cannot make a directory for the certificates");
    dir_ = dir;
    // One request and one signature per certificate; the expired one ends
    // a day before it begins, which openssl takes for "expired". Keys are
    // their owner's alone, as the writer wants a client's key kept.
    const std::string script = R"(set -e
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key"; chmod 600 "$1.key"; }
ca() { key "$1"; openssl req -x509 -new -key "$1.key" -days 30 -subj "/CN=$2" -out "$1.crt"; }
signed() {
    key "$1"
    openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
    printf '%s
' "$4" > "$1.ext"
    openssl x509 -req -in "$1.csr" -CA "$3.crt" -CAkey "$3.key" -CAcreateserial -days "$5" -extfile "$1.ext" -out "$1.crt"
}
ca ca "qw735 test CA"
ca other-ca "qw735 other CA"
signed server 127.0.0.1 ca "subjectAltName=IP:127.0.0.1" 30
signed wrong-name elsewhere.invalid ca "subjectAltName=DNS:elsewhere.invalid" 30
signed expired 127.0.0.1 ca "subjectAltName=IP:127.0.0.1" -1
signed station1 station1 ca "extendedKeyUsage=clientAuth" 30
signed stranger station1 other-ca "extendedKeyUsage=clientAuth" 30
mkdir -p auth/station1/allowed_certs
cp ca.crt auth/station1/allowed_certs/
openssl rehash auth/station1/allowed_certs
)";
    const std::string command = "cd '" + dir_ + "' && sh ./make.sh > make.log 2>&1";
    std::ofstream(dir_ + "/make.sh") << script;
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make the test certificates: " + ReadText(dir_ + "/make.log"));
}

TestCertificates::~TestCertificates()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

const TestCertificates &TestCertificates::Shared()
{
    static const TestCertificates certificates;
    return certificates;
}

Ser2netServer::Options::Tls TestCertificates::ServerTls(const std::string &server) const
{
    return {Key(server), Crt(server), Crt("ca"), AuthDir()};
}

}  // namespace qw735::test
