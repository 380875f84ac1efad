#include "app/Program.hpp"
#include "app/Shutdown.hpp"
#include "app/Startup.hpp"
#include "audio/AudioRecorder.hpp"
#include "base/Process.hpp"
#include "base/SerialQueue.hpp"
#include "http/HTTPServer.hpp"
#include "platform/linux/LinuxPlatform.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <unistd.h>

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

    const std::string token = readToken(arguments);
    if (token.empty()) {
        reportToStandardError("--token-file <path> with a non-empty token is required");
        endProcess(2);
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

    std::shared_ptr<HTTPServer> server;
    try {
        server = std::make_shared<HTTPServer>(queue, [](const HTTPRequest& request) {
            HTTPResponse response = program.service().handle(request);
            // A picture request leaves tens of megabytes freed but still held by the heap,
            // which keeps them for the next one. Once requests have stopped for a while,
            // hand them back to the system. Ten seconds covers the pause of a parent that
            // looks, thinks and looks again; faulting a picture's memory in afresh costs
            // more than making the picture. Handlers and this timer share the HTTP work
            // queue, so the counter needs no lock.
            static unsigned long handled = 0;
            const unsigned long mine = ++handled;
            queue.asyncAfter(std::chrono::seconds(10), [mine] {
                if (handled == mine)
                    releaseFreeMemory();
            });
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

    shutdown.watchSignals();
    if (const auto parent = watchedParent(arguments))
        startParentWatch(*parent, [] { shutdown.end(0); });

    mainQueue.runForever();
    return 0;
}
