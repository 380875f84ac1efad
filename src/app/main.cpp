#include "app/Program.hpp"
#include "app/Shutdown.hpp"
#include "app/Startup.hpp"
#include "audio/AudioRecorder.hpp"
#include "base/Process.hpp"
#include "base/SerialQueue.hpp"
#include "http/HTTPServer.hpp"
#include "mcp/MCPStdio.hpp"
#include "platform/Imaging.hpp"
#include "platform/linux/LinuxPlatform.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <algorithm>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// A request for a picture leaves tens of megabytes freed but still held by the heap, which
// keeps them for the next one. Once requests have stopped for a while, hand them back to
// the system. Ten seconds covers the pause of a parent that looks, thinks and looks again;
// faulting a picture's memory in afresh costs more than making the picture. Called on the
// HTTP work queue after every request, which the timer shares, so the counter needs no lock.
// The kept picture (the last capture and its encoded parts, for redoing only what changed)
// goes first, so that its memory is among what is handed back.
void releaseMemoryWhenIdle(SerialQueue& queue, Imaging& imaging)
{
    static unsigned long handled = 0;
    const unsigned long mine = ++handled;
    queue.asyncAfter(std::chrono::seconds(10), [mine, &imaging] {
        if (handled == mine) {
            imaging.releaseKept();
            releaseFreeMemory();
        }
    });
}

}

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv, argv + argc);
    const std::string version = bundleVersion();

    for (const auto& word : arguments) {
        if (word == "--version") {
            std::printf("%s\n", version.c_str());
            std::fflush(stdout);
            return 0;
        }
    }

    // --mcp: the protocol on standard input and output, for the host that started the
    // process and holds the pipes; no listener, so no token.
    const bool mcp = std::find(arguments.begin(), arguments.end(), "--mcp") != arguments.end();
    const std::string token = mcp ? std::string() : readToken(arguments);
    if (!mcp && token.empty()) {
        reportToStandardError("--token-file <path> with a non-empty token is required");
        endProcess(2);
    }
    int protocolOutput = -1;
    if (mcp) {
        // Standard output carries protocol messages and nothing else: they get a descriptor
        // of their own, and whatever else writes to standard output (a library's message,
        // the flush at the end) lands on standard error instead.
        protocolOutput = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (protocolOutput < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            reportToStandardError("cannot set standard output aside for the protocol");
            endProcess(1);
        }
    }

    // A peer that closes early must not end the process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Before any thread starts: the ending signals wait for the thread that handles them,
    // and every thread's freed memory stays in the one heap for the next picture.
    Shutdown::holdSignals();
    keepFreedMemory();

    // The main queue runs on this thread once start-up is done: prompts and the delayed
    // exit of quit go there.
    static SerialQueue mainQueue("com.velmar.computer-use.main", SerialQueue::OnCallingThread{});
    static LinuxPlatform platform(mainQueue);
    static Program program(platform.platform(), token, version, [] { endProcess(0); });
    static SerialQueue queue("com.velmar.computer-use.http");
    static Shutdown shutdown(queue, [] { program.cleanUp(); }, [] { program.recorder().stop(); });

    shutdown.watchSignals();
    if (const auto parent = watchedParent(arguments))
        startParentWatch(*parent, [] { shutdown.end(0); });

    if (mcp) {
        static MCPStdio stdio(STDIN_FILENO, protocolOutput, program.mcp(), queue);
        // The host closing our standard input is its way of ending the session: the same
        // clean-up as quit, after the answers still due.
        stdio.start([] { releaseMemoryWhenIdle(queue, platform.platform().imaging); }, [] { shutdown.end(0); });
        mainQueue.runForever();
        return 0;
    }

    std::shared_ptr<HTTPServer> server;
    try {
        server = std::make_shared<HTTPServer>(queue, [](const HTTPRequest& request) {
            HTTPResponse response = program.service().handle(request);
            releaseMemoryWhenIdle(queue, platform.platform().imaging);
            return response;
        });
    } catch (const std::exception& error) {
        reportToStandardError(std::string("no listener: ") + error.what());
        endProcess(1);
    }
    server->onReady = [arguments, version](std::uint16_t port) {
        const std::string line = readyLine(port, static_cast<long>(::getpid()), version);
        if (const auto path = argument(arguments, "--port-file")) {
            try {
                writeFileAtomically(*path, line + "\n");
            } catch (const std::exception& error) {
                reportToStandardError("could not write " + *path + ": " + error.what());
            }
        }
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    // Called on the HTTP work queue.
    server->onFailure = [](const std::string& message) {
        reportToStandardError(message);
        shutdown.endHere(1);
    };
    server->start();

    mainQueue.runForever();
    return 0;
}
