#pragma once

#include "mcp/MCPServer.hpp"
#include "service/Service.hpp"

#include <functional>
#include <memory>
#include <string>

class AudioRecorder;
class Input;
class Permissions;
struct Platform;

// The program as assembled: the one Service with every route, and the objects its
// endpoints share for the life of the process (the permission probe cache, the keys held
// down, the audio recorder).
class Program {
public:
    // `end` ends the process with code 0 once quit has answered; tests pass their own.
    Program(Platform& platform, std::string token, std::string version, std::function<void()> end);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    Service& service() { return service_; }
    // The MCP server over the same routes, for the standard input of --mcp; POST /mcp
    // serves it on the listener.
    const MCPServer& mcp() const { return mcp_; }
    AudioRecorder& recorder() { return *recorder_; }

    // Leaves the user's machine as it was: every held key released, every borrowed keycode
    // given back, the recording stopped with its last part finished. Runs on the HTTP work
    // queue, which alone touches the held keys; blocks for up to about 5 s.
    void cleanUp();

private:
    void installRoutes();

    Platform& platform_;
    Service service_;
    MCPServer mcp_;
    std::function<void()> end_;
    std::shared_ptr<Permissions> permissions_;
    std::shared_ptr<Input> input_;
    std::shared_ptr<AudioRecorder> recorder_;
};
