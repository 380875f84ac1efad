#include "audio/AudioRecorder.hpp"

#include "platform/FileSystem.hpp"
#include "platform/Platform.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

// One frame at 16000 Hz is exactly 62.5 microseconds, so part ends are exact in nanoseconds.
::Clock::Date::duration framesDuration(std::int64_t frames)
{
    return std::chrono::duration_cast<::Clock::Date::duration>(std::chrono::nanoseconds(frames * 62500));
}

}

std::int64_t AudioRecorder::milliseconds(::Clock::Date date)
{
    // duration_cast truncates toward zero, as the names want.
    return std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
}

std::string AudioRecorder::iso(::Clock::Date date)
{
    const auto whole = std::chrono::floor<std::chrono::milliseconds>(date);
    const auto seconds = std::chrono::floor<std::chrono::seconds>(whole);
    const std::time_t time = std::chrono::system_clock::to_time_t(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((whole - seconds).count()));
    return text;
}

Json AudioRecorder::Part::json() const
{
    return Json{
        {"sequence", sequence},
        {"file", url},
        {"started_at", iso(startedAt)},
        {"ended_at", iso(endedAt)},
        {"bytes", bytes},
    };
}

::Clock::Date AudioRecorder::partStart(const std::vector<Part>& parts, ::Clock::Date now)
{
    if (parts.empty())
        return now;
    return std::max(parts.back().endedAt, now - std::chrono::seconds(1));
}

void AudioRecorder::openPart()
{
    if (!pending_)
        return;
    const int number = sequence_ + 1;
    const std::string path = *pending_ + "/part-" + std::to_string(number) + ".m4a";
    platform_.fileSystem.remove(path);
    try {
        file_ = platform_.audio.openForWriting(path, AudioFileSettings{});
    } catch (const PlatformError& error) {
        fail("could not open an audio part: " + error.description);
        return;
    }
    fileFrames_ = 0;
    fileStartedAt_ = partStart(parts_, platform_.clock.date());
    sequence_ = number;
}

void AudioRecorder::closePart()
{
    if (const auto failure = finishPart())
        fail(*failure);
}

std::optional<std::string> AudioRecorder::finishPart()
{
    if (!file_ || !directory_ || !fileStartedAt_)
        return std::nullopt;
    const std::string source = file_->path();
    const ::Clock::Date started = *fileStartedAt_;

    std::optional<std::string> unfinished;
    std::int64_t frames = fileFrames_;
    try {
        // What the file holds, which after a refused write may differ from what was given.
        frames = file_->finish();
    } catch (const PlatformError& error) {
        unfinished = "could not finish an audio part: " + error.description;
    }
    file_.reset();
    fileFrames_ = 0;
    fileStartedAt_.reset();

    // A file without frames is no part; one whose container could not be completed is
    // one no player reads.
    if (frames < 1 || unfinished) {
        platform_.fileSystem.remove(source);
        return unfinished;
    }

    const ::Clock::Date ended = started + framesDuration(frames);
    const std::string target = *directory_ + (*directory_ == "/" ? "" : "/") + "part-" + std::to_string(sequence_) + "-"
        + std::to_string(milliseconds(started)) + "-" + std::to_string(milliseconds(ended)) + ".m4a";
    platform_.fileSystem.remove(target);
    try {
        platform_.fileSystem.move(source, target);
    } catch (const PlatformError& error) {
        return "could not finish an audio part: " + error.description;
    }
    const std::int64_t bytes = platform_.fileSystem.fileSize(target).value_or(0);
    parts_.push_back(Part{sequence_, target, started, ended, bytes});
    return std::nullopt;
}
