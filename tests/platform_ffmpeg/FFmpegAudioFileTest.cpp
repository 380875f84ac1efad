#include "platform/ffmpeg/FFmpegAudioFile.hpp"

#include "AudioSignals.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

std::string run(const std::string& command)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    if (!pipe)
        return output;
    char chunk[65536];
    while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get()))
        output.append(chunk, n);
    return output;
}

// What an independent decoder makes of the file.
struct Decoded {
    std::string container, codec;
    int rate = 0, channels = 0;
    // The container's length in samples, which a player shows.
    std::int64_t length = 0;
    // What the decoder put out: the container's length rounded up to whole AAC frames of
    // 1024 samples, since the decoder keeps the last frame's padding.
    std::vector<float> samples;
};

Decoded decode(const std::string& path)
{
    Decoded decoded;
    const auto probe = nlohmann::json::parse(
        run("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,duration_ts,time_base "
            "-show_entries format=format_name -of json '"
            + path + "'"),
        nullptr, false);
    if (probe.is_discarded() || probe["streams"].empty())
        return decoded;
    decoded.container = probe["format"]["format_name"];
    decoded.codec = probe["streams"][0]["codec_name"];
    decoded.rate = std::stoi(probe["streams"][0]["sample_rate"].get<std::string>());
    decoded.channels = probe["streams"][0]["channels"];
    if (probe["streams"][0]["time_base"] == "1/16000")
        decoded.length = probe["streams"][0]["duration_ts"];
    const std::string raw = run("ffmpeg -v error -i '" + path + "' -f f32le -");
    decoded.samples.resize(raw.size() / sizeof(float));
    std::memcpy(decoded.samples.data(), raw.data(), decoded.samples.size() * sizeof(float));
    return decoded;
}

// The MPEG-4 file type's major brand: "M4A " for an audio file of the M4A muxer.
std::string majorBrand(const std::string& path)
{
    char head[12] = {};
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file || std::fread(head, 1, sizeof head, file.get()) != sizeof head || std::string(head + 4, 4) != "ftyp")
        return {};
    return std::string(head + 8, 4);
}

// A fresh directory, removed with what it holds.
class ScratchDirectory {
public:
    ScratchDirectory()
    {
        char name[] = "/tmp/velmar-file-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A tmpfs of its own on a scratch directory: a disk of a known, tiny size, or one that is
// read-only. Mounting needs root, which the test suite has.
class SmallDisk {
public:
    SmallDisk(const char* size, unsigned long flags = 0)
    {
        mounted_
            = mount("tmpfs", directory_.path().c_str(), "tmpfs", flags, (std::string("size=") + size).c_str()) == 0;
        if (!mounted_)
            why_ = std::strerror(errno);
    }
    ~SmallDisk()
    {
        if (mounted_)
            umount2(directory_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& why() const { return why_; }
    std::string file(const std::string& name) const { return directory_.path() + "/" + name; }

private:
    ScratchDirectory directory_;
    bool mounted_ = false;
    std::string why_;
};

std::unique_ptr<AudioFile> openFile(const std::string& path)
{
    return FFmpegAudioFile::open(path, AudioFileSettings{});
}

// Writes the samples in pieces of the given sizes, taken in turn.
void writeInPieces(AudioFile& file, std::span<const float> samples, const std::vector<std::size_t>& sizes)
{
    for (std::size_t at = 0, i = 0; at < samples.size(); ++i) {
        const std::size_t count = std::min(sizes[i % sizes.size()], samples.size() - at);
        file.write(samples.subspan(at, count));
        at += count;
    }
}

}

// Whatever the length and however it is cut, the file is MPEG-4 AAC at 16000 Hz mono, as
// long as what was written, and carries the tone.
TEST(FFmpegAudioFile, WritesAacThatAnIndependentDecoderReadsAtItsLength)
{
    ScratchDirectory directory;
    for (const std::size_t length : {1000u, 1024u, 16000u, 40000u}) {
        SCOPED_TRACE(length);
        const std::string path = directory.path() + "/part-" + std::to_string(length) + ".m4a";
        const auto written = tone(440, 16000, length);
        auto file = openFile(path);
        EXPECT_EQ(file->path(), path);
        writeInPieces(*file, written, {1, 100, 1023, 1024, 1025, 3000});
        file->finish();

        const Decoded decoded = decode(path);
        EXPECT_NE(decoded.container.find("m4a"), std::string::npos) << decoded.container;
        EXPECT_EQ(majorBrand(path), "M4A ");
        EXPECT_EQ(decoded.codec, "aac");
        EXPECT_EQ(decoded.rate, 16000);
        EXPECT_EQ(decoded.channels, 1);
        EXPECT_EQ(decoded.length, static_cast<std::int64_t>(length));
        EXPECT_EQ(decoded.samples.size(), (length + 1023) / 1024 * 1024);
        if (length >= 16000) {
            const std::span<const float> middle = std::span(decoded.samples).subspan(2048, length - 4096);
            EXPECT_NEAR(rms(middle), 0.5 / std::sqrt(2.0), 0.03);
            EXPECT_NEAR(frequency(middle, 16000), 440, 5);
        }
    }
}

TEST(FFmpegAudioFile, DestroyingAnUnfinishedFileFinishesIt)
{
    ScratchDirectory directory;
    const std::string path = directory.path() + "/part-1.m4a";
    {
        auto file = openFile(path);
        file->write(tone(440, 16000, 20000));
    }
    const Decoded decoded = decode(path);
    EXPECT_EQ(decoded.codec, "aac");
    EXPECT_EQ(decoded.length, 20000);
}

// A full disk is reported by the write that meets it, not when the file is finished (at
// 24 kbit/s, 64 KB hold about 20 seconds), and what was written up to then, that write
// included, stays playable: the file finishes in the room it kept aside.
TEST(FFmpegAudioFile, AFullDiskFailsTheWriteThatMeetsItAndKeepsWhatWasWritten)
{
    SmallDisk disk("192k");
    ASSERT_TRUE(disk.mounted()) << "a tmpfs could not be mounted: " << disk.why();
    auto file = openFile(disk.file("part-1.m4a"));
    EXPECT_TRUE(std::filesystem::exists(disk.file("part-1.m4a.reserve")));
    const auto second = tone(440, 16000, 16000);
    std::optional<PlatformError> error;
    int seconds = 0;
    for (; seconds < 120 && !error; ++seconds) {
        try {
            file->write(second);
        } catch (const PlatformError& e) {
            error = e;
        }
    }
    ASSERT_TRUE(error) << "120 s of audio fit into 64 KB";
    EXPECT_EQ(error->domain, "FFmpeg");
    EXPECT_EQ(error->code, -ENOSPC); // AVERROR(ENOSPC)
    EXPECT_EQ(error->description, "No space left on device");
    // Later writes report it again; finishing succeeds with every second written.
    EXPECT_THROW(file->write(second), PlatformError);
    EXPECT_EQ(file->finish(), seconds * 16000);
    EXPECT_FALSE(std::filesystem::exists(disk.file("part-1.m4a.reserve")));
    const Decoded decoded = decode(disk.file("part-1.m4a"));
    EXPECT_EQ(decoded.codec, "aac");
    EXPECT_EQ(decoded.length, seconds * 16000);
    const std::span<const float> middle = std::span(decoded.samples).subspan(2048, decoded.samples.size() - 4096);
    EXPECT_NEAR(frequency(middle, 16000), 440, 5);
}

// A disk without room for the reserve has none for a part: the file is not even begun.
TEST(FFmpegAudioFile, ADiskWithoutRoomForTheReserveRefusesTheFile)
{
    SmallDisk disk("64k");
    ASSERT_TRUE(disk.mounted()) << "a tmpfs could not be mounted: " << disk.why();
    try {
        openFile(disk.file("part-1.m4a"));
        FAIL() << "a part was begun without its reserve";
    } catch (const PlatformError& error) {
        EXPECT_EQ(error.code, -ENOSPC);
    }
    EXPECT_FALSE(std::filesystem::exists(disk.file("part-1.m4a.reserve")));
}

TEST(FFmpegAudioFile, OpeningFailsWithTheSystemsReason)
{
    ScratchDirectory directory;
    SmallDisk readOnly("16k", MS_RDONLY);
    ASSERT_TRUE(readOnly.mounted()) << "a tmpfs could not be mounted: " << readOnly.why();
    struct Case {
        std::string path;
        int code;
    };
    for (const Case& c :
         {Case{directory.path() + "/missing/part-1.m4a", -ENOENT}, Case{readOnly.file("part-1.m4a"), -EROFS}}) {
        SCOPED_TRACE(c.path);
        try {
            openFile(c.path);
            ADD_FAILURE() << "opened";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.domain, "FFmpeg");
            EXPECT_EQ(error.code, c.code);
            EXPECT_EQ(error.description, std::strerror(-c.code));
        }
    }
}
