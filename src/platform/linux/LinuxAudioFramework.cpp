#include "platform/linux/LinuxAudioFramework.hpp"

#include "base/PlatformError.hpp"
#include "platform/pulseaudio/PulseAudioEngine.hpp"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// Where the module lies: beside the executable in a build folder, and in
// lib/velmar-computer-use/modules beside the bin folder of an installed one.
std::vector<std::string> moduleCandidates()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    return {folder + ffmpegAudioModuleFile, folder + "../lib/velmar-computer-use/modules/" + ffmpegAudioModuleFile};
}

} // namespace

void LinuxAudioFramework::prepare()
{
    module();
}

const FFmpegAudioModule& LinuxAudioFramework::module()
{
    std::lock_guard lock(moduleLock_);
    if (module_)
        return *module_;
    std::string why = "found nowhere";
    for (const std::string& path : moduleCandidates()) {
        if (::access(path.c_str(), F_OK) != 0)
            continue;
        // Never closed: its code runs until the process ends.
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = ::dlerror();
            why = error ? error : path + " did not load";
            break;
        }
        const auto entry = reinterpret_cast<const FFmpegAudioModule* (*)()>(::dlsym(handle, "velmarFFmpegAudioModule"));
        if (!entry) {
            why = path + " is not the audio encoder module";
            break;
        }
        module_ = entry();
        return *module_;
    }
    throw PlatformError("dlopen", 0, std::string(ffmpegAudioModuleFile) + ": " + why);
}

std::unique_ptr<AudioConverter> LinuxAudioFramework::makeConverter(const AudioFormat& from, const AudioFormat& to)
{
    return module().makeConverter(from, to);
}

std::unique_ptr<AudioEngine> LinuxAudioFramework::makeEngine()
{
    return std::make_unique<PulseAudioEngine>(connection_);
}

std::unique_ptr<AudioFile> LinuxAudioFramework::openForWriting(const std::string& path,
                                                               const AudioFileSettings& settings)
{
    return module().openForWriting(path, settings);
}
