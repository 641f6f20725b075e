// tunara-vplayer: the virtual player behind a USB/IP server, and its control client.
#include "ctl_server.h"
#include "engine.h"
#include "tunara_vplayer_help.h"
#include "usbip_server.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;
constexpr uint16_t kDefaultPort = 3240;
const char *kDefaultHost = "127.0.0.1";

void usage(std::ostream &out) {
    out << vplayer::help::kHelp;
}

bool splitHostPort(const std::string &text, std::string &host, uint16_t &port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    try {
        size_t used = 0;
        const unsigned long v = std::stoul(text.substr(colon + 1), &used, 10);
        if (used != text.size() - colon - 1 || v > 65535)
            return false;
        port = static_cast<uint16_t>(v);
        return true;
    } catch (...) {
        return false;
    }
}

int runControl(const std::vector<std::string> &args) {
    std::string dir;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--state" && i + 1 < args.size())
            dir = args[++i];
        else if (args[i] == "--help") {
            usage(std::cout);
            return kExitOk;
        } else
            words.push_back(args[i]);
    }
    if (dir.empty() || words.empty()) {
        std::cerr << "tunara-vplayer ctl: needs --state DIR and a command (see --help)\n";
        return kExitUsage;
    }
    vplayer::CtlResult result;
    std::string error;
    if (!vplayer::sendControlCommand(std::filesystem::path(dir) / "ctl.sock", words, result,
                                     error)) {
        std::cerr << "tunara-vplayer ctl: " << error << '\n';
        return kExitUsage;
    }
    if (!result.ok) {
        std::cerr << "tunara-vplayer ctl: " << result.output << '\n';
        return kExitRefused;
    }
    std::cout << result.output;
    return kExitOk;
}

int runServer(const std::vector<std::string> &args) {
    std::string dir;
    std::string host = kDefaultHost;
    uint16_t port = kDefaultPort;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--state" && i + 1 < args.size()) {
            dir = args[++i];
        } else if (args[i] == "--listen" && i + 1 < args.size()) {
            if (!splitHostPort(args[++i], host, port)) {
                std::cerr << "tunara-vplayer: --listen wants HOST:PORT, got " << args[i] << '\n';
                return kExitUsage;
            }
        } else {
            std::cerr << "tunara-vplayer: unknown argument " << args[i] << " (see --help)\n";
            return kExitUsage;
        }
    }
    if (dir.empty()) {
        std::cerr << "tunara-vplayer: --state DIR is required (see --help)\n";
        return kExitUsage;
    }

    // SIGINT/SIGTERM are taken by sigwait below; every thread started later inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    vplayer::Engine engine(dir);
    if (!engine.ok()) {
        std::cerr << "tunara-vplayer: state folder " << dir << ": " << engine.loadError() << '\n';
        return kExitRefused;
    }
    vplayer::UsbipServer server(engine);
    std::string error;
    if (!server.listen(host, port, error)) {
        std::cerr << "tunara-vplayer: " << error << '\n';
        return kExitRefused;
    }
    engine.setPlugListener([&server](bool plugged) {
        if (!plugged)
            server.dropImported();
    });
    vplayer::CtlServer ctl(engine);
    const auto ctlPath = std::filesystem::path(dir) / "ctl.sock";
    if (!ctl.listen(ctlPath, error)) {
        std::cerr << "tunara-vplayer: " << error << '\n';
        return kExitRefused;
    }
    server.start();
    ctl.start();

    const std::string address = host + ":" + std::to_string(server.port());
    const auto addrPath = std::filesystem::path(dir) / "vplayer.addr";
    {
        std::ofstream out(addrPath, std::ios::trunc);
        out << address << '\n';
    }
    std::cout << "listening on " << address << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    engine.setPlugListener({});
    ctl.stop();
    server.stop();
    std::error_code ec;
    std::filesystem::remove(addrPath, ec);
    return kExitOk;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        usage(std::cout);
        return kExitOk;
    }
    if (!args.empty() && args[0] == "--version") {
        std::cout << vplayer::help::kProgram << ' ' << vplayer::help::kVersion << '\n';
        return kExitOk;
    }
    if (!args.empty() && args[0] == "ctl")
        return runControl({args.begin() + 1, args.end()});
    return runServer(args);
}
