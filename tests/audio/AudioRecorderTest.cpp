#include "audio/AudioRecorder.hpp"
#include "permissions/Permissions.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace std::chrono_literals;

const PlatformError diskFull("POSIX", 28, "No space left on device");
const PlatformError refused("PulseAudio", 5, "Connection refused");

struct Recorder : ::testing::Test {
    FakePlatform fake;
    Permissions permissions{fake.platform()};
    std::shared_ptr<AudioRecorder> recorder = AudioRecorder::make(fake.platform(), permissions);

    void SetUp() override
    {
        fake.displays.set(7, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
        fake.screenCapture.setContent(ShareableContent{{ShareableDisplay{3, 800, 600}, ShareableDisplay{7, 1920, 1080}}, {}});
        // The microphone delivers the recorder format unless a test says otherwise.
        fake.audio.setMicrophoneFormat(AudioRecorder::format());
    }

    void start(bool microphone = true, double partSeconds = 10) { recorder->start("/rec", partSeconds, microphone); }

    // Blocks of the recorder format, at the pace of the wall clock unless told otherwise.
    void system(std::size_t count, float value = 0.25f, bool keepPace = true)
    {
        ASSERT_TRUE(fake.systemAudio.deliver(makeFakeBuffer(AudioRecorder::format(), std::vector<float>(count, value))));
        recorder->status(); // the recorder has taken the block
        if (keepPace)
            fake.clock.advance(std::chrono::microseconds(static_cast<std::int64_t>(count) * 62500 / 1000));
    }
    void microphone(std::size_t count, float value = 0.5f)
    {
        ASSERT_TRUE(fake.audio.deliverMicrophone(makeFakeBuffer(AudioRecorder::format(), std::vector<float>(count, value))));
    }

    Json status() { return recorder->status(); }
    std::vector<std::string> partFiles()
    {
        std::vector<std::string> files;
        const Json report = status();
        for (const auto& part : report["parts"])
            files.push_back(part["file"].get<std::string>());
        return files;
    }
    std::vector<float> samples(const std::string& path) { return fake.fileSystem.file(path).value().samples; }
};

} // namespace

TEST_F(Recorder, BeforeAnyStartEverythingIsOff)
{
    EXPECT_EQ(status(), (Json{{"recording", false}, {"parts", Json::array()}, {"sequence", 0}, {"level", 0.0},
                              {"system_audio", "off"}, {"microphone", "off"}, {"error", ""}}));
    EXPECT_EQ(recorder->partFrames(), 960000);
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    recorder->stop(); // nothing to stop
    EXPECT_EQ(status()["recording"], false);
    EXPECT_EQ(fake.systemAudio.stopsAsked(), 0);
}

TEST_F(Recorder, EachSourceMayFailAloneWhileTheOtherCarriesTheRecording)
{
    struct Case {
        const char* name;
        std::function<void(FakePlatform&)> setUp;
        bool microphone;
        std::string microphoneState;
        std::string systemState;
        AudioRecorder::Clock clock;
    };
    const std::string on = "on";
    const Case cases[] = {
        {"both", [](FakePlatform&) {}, true, on, on, AudioRecorder::Clock::microphone},
        {"system only", [](FakePlatform&) {}, false, "off", on, AudioRecorder::Clock::system},
        {"microphone not granted", [](FakePlatform& f) { f.privacy.microphoneStatus = Privacy::notDetermined; }, true,
         "error: the microphone is not granted to Velmar Computer Use", on, AudioRecorder::Clock::system},
        {"no input device", [](FakePlatform& f) { f.audio.setMicrophoneFormat(AudioFormat{0, 0}); }, true,
         "error: no microphone input device", on, AudioRecorder::Clock::system},
        {"unconvertible device",
         [](FakePlatform& f) {
             const AudioFormat odd{44100, 6, SampleType::signed24, true};
             f.audio.setMicrophoneFormat(odd);
             f.audio.refuseConversionFrom(odd);
         },
         true, "error: the microphone format 6 ch, 44100 Hz, Int24, interleaved cannot be converted", on,
         AudioRecorder::Clock::system},
        {"engine refuses", [](FakePlatform& f) { f.audio.setMicrophoneStartError(PlatformError("PulseAudio", 3, "No such entity")); },
         true, "error: the microphone engine did not start: No such entity", on, AudioRecorder::Clock::system},
        {"screen recording off", [](FakePlatform& f) { f.privacy.screenCaptureAllowed = false; }, true, on,
         "error: Screen Recording is off for Velmar Computer Use", AudioRecorder::Clock::microphone},
        {"no display", [](FakePlatform& f) { f.screenCapture.setContent({}); }, true, on,
         "error: ScreenCaptureKit lists no display", AudioRecorder::Clock::microphone},
        {"content never comes", [](FakePlatform& f) { f.screenCapture.setContentScript({FakeScreenCaptureFramework::Delivery::never}); },
         true, on, "error: ScreenCaptureKit did not list the shareable content within 10 s", AudioRecorder::Clock::microphone},
        {"output refused", [](FakePlatform& f) { f.systemAudio.setAddOutputError(refused); }, true, on,
         "error: Connection refused (PulseAudio error 5)", AudioRecorder::Clock::microphone},
        {"stream refuses", [](FakePlatform& f) { f.systemAudio.setStartAnswer(FakeSystemAudio::StartAnswer::error, refused); },
         true, on, "error: Connection refused (PulseAudio error 5)", AudioRecorder::Clock::microphone},
        {"stream never starts", [](FakePlatform& f) { f.systemAudio.setStartAnswer(FakeSystemAudio::StartAnswer::never); },
         true, on, "error: ScreenCaptureKit did not start the audio stream within 10 s", AudioRecorder::Clock::microphone},
    };
    for (const Case& c : cases) {
        FakePlatform fake;
        fake.displays.set(7, {Rect{0, 0, 1920, 1080}, 1920, 1920, std::nullopt}, true);
        fake.screenCapture.setContent(ShareableContent{{ShareableDisplay{7, 1920, 1080}}, {}});
        fake.audio.setMicrophoneFormat(AudioRecorder::format());
        c.setUp(fake);
        Permissions permissions(fake.platform());
        auto recorder = AudioRecorder::make(fake.platform(), permissions);
        ASSERT_NO_THROW(recorder->start("/rec", 60, c.microphone)) << c.name;
        const Json report = recorder->status();
        EXPECT_EQ(report["recording"], true) << c.name;
        EXPECT_EQ(report["microphone"], c.microphoneState) << c.name;
        EXPECT_EQ(report["system_audio"], c.systemState) << c.name;
        EXPECT_EQ(recorder->clock(), c.clock) << c.name;
        // A source that failed left nothing running behind it.
        const auto counts = fake.audio.counts();
        EXPECT_EQ(counts.tapsInstalled - counts.tapsRemoved, c.microphoneState == on ? 1 : 0) << c.name;
        EXPECT_EQ(fake.systemAudio.streamAlive(), c.systemState == on) << c.name;
        recorder->stop();
    }
}

TEST_F(Recorder, ScreenRecordingOffIsFoundBeforeAnythingIsAsked)
{
    fake.privacy.screenCaptureAllowed = false;
    start(true);
    EXPECT_TRUE(fake.systemAudio.streamsMade().empty());
}

TEST_F(Recorder, TheMainDisplayIsChosenEvenWhenNotListedFirst)
{
    start(false);
    ASSERT_EQ(fake.systemAudio.streamsMade().size(), 1u);
    EXPECT_EQ(fake.systemAudio.streamsMade()[0].filter.id, 7u);
}

TEST_F(Recorder, WithNoSourceTheStartFailsNamingBoth)
{
    fake.systemAudio.setStartAnswer(FakeSystemAudio::StartAnswer::error, refused);
    try {
        start(false);
        FAIL() << "started";
    } catch (const AudioRecorder::Failure& failure) {
        EXPECT_EQ(failure.message(), "no audio source: system audio \u2014 Connection refused (PulseAudio error 5); microphone \u2014 off");
    }
    const Json report = status();
    EXPECT_EQ(report["recording"], false);
    EXPECT_EQ(report["error"], "");
    EXPECT_EQ(report["system_audio"], "error: Connection refused (PulseAudio error 5)");
    EXPECT_EQ(report["microphone"], "off");
    EXPECT_EQ(report["directory"], "/rec");

    fake.privacy.microphoneStatus = Privacy::denied;
    try {
        start(true);
        FAIL() << "started";
    } catch (const AudioRecorder::Failure& failure) {
        EXPECT_EQ(failure.message(), "no audio source: system audio \u2014 Connection refused (PulseAudio error 5); "
                                     "microphone \u2014 the microphone is not granted to Velmar Computer Use");
    }
}

TEST_F(Recorder, ASecondStartLeavesTheRecordingAlone)
{
    start(false);
    system(16000);
    EXPECT_THROW(
        {
            try {
                recorder->start("/other", 30, true);
            } catch (const AudioRecorder::Failure& failure) {
                EXPECT_EQ(failure.message(), "a recording is already running; stop it first");
                throw;
            }
        },
        AudioRecorder::Failure);
    EXPECT_EQ(status()["directory"], "/rec");
    EXPECT_EQ(recorder->partFrames(), 160000);
    system(16000);
    recorder->stop();
    ASSERT_EQ(partFiles().size(), 1u);
    EXPECT_EQ(samples(partFiles()[0]).size(), 32000u);
}

TEST_F(Recorder, StartPreparesAPrivatePendingDirectoryAndEmptiesIt)
{
    fake.fileSystem.createDirectories("/rec/pending", 0755);
    fake.fileSystem.putFile("/rec/pending/part-3.m4a", {});
    fake.fileSystem.putFile("/rec/pending/.hidden", {});
    fake.fileSystem.putFile("/rec/part-1-1-2.m4a", {});
    recorder->start("/rec/", 10, false);
    EXPECT_EQ(fake.fileSystem.files(), (std::vector<std::string>{"/rec/part-1-1-2.m4a"}));
    EXPECT_EQ(status()["directory"], "/rec");

    recorder->stop();
    recorder->start("/new/deep", 10, false);
    EXPECT_EQ(fake.fileSystem.directories().at("/new/deep/pending"), 0700u);
    EXPECT_EQ(fake.fileSystem.directories().at("/new/deep"), 0700u);
}

TEST_F(Recorder, ADirectoryThatCannotBeMadeChangesNothing)
{
    start(false);
    system(160000);
    recorder->stop();
    const Json before = status();
    fake.fileSystem.setCreateError(PlatformError("POSIX", 13, "Permission denied"));
    EXPECT_THROW(recorder->start("/elsewhere", 10, false), PlatformError);
    EXPECT_EQ(status(), before);
}

TEST_F(Recorder, AnEncoderThatCannotBeHadFailsTheStartAndChangesNothing)
{
    start(false);
    system(160000);
    recorder->stop();
    const Json before = status();
    fake.audio.setPrepareError(PlatformError("dlopen", 0, "velmar-audio-ffmpeg.so: cannot open shared object file"));
    try {
        recorder->start("/elsewhere", 10, false);
        FAIL() << "the start succeeded";
    } catch (const AudioRecorder::Failure& failure) {
        EXPECT_STREQ(failure.what(), "the audio encoder is not available: "
                                     "velmar-audio-ffmpeg.so: cannot open shared object file");
    }
    EXPECT_EQ(status(), before);
    EXPECT_FALSE(fake.fileSystem.directories().contains("/elsewhere"));
    EXPECT_EQ(fake.audio.counts().enginesMade, 0);

    fake.audio.setPrepareError(std::nullopt);
    start(false);
    EXPECT_EQ(status()["recording"], true);
}

TEST_F(Recorder, BlocksAreSplitAtPartBoundariesAndPartsAreNamedByTheirTimes)
{
    start(false);
    const auto firstWrite = fake.clock.clock().date();
    system(159500);
    system(1024);
    EXPECT_EQ(fake.fileSystem.file("/rec/pending/part-2.m4a")->samples.size(), 524u);
    recorder->stop();

    const Json report = status();
    ASSERT_EQ(report["parts"].size(), 2u);
    const Json first = report["parts"][0];
    const Json second = report["parts"][1];
    const std::int64_t start = AudioRecorder::milliseconds(firstWrite);
    EXPECT_EQ(first["file"], "/rec/part-1-" + std::to_string(start) + "-" + std::to_string(start + 10000) + ".m4a");
    EXPECT_EQ(first["sequence"], 1);
    EXPECT_EQ(first["started_at"], AudioRecorder::iso(firstWrite));
    EXPECT_EQ(samples(first["file"]).size(), 160000u);
    EXPECT_EQ(first["bytes"], 160000 * 4 + 600);
    // The second part continues exactly where the first ended: audio kept pace.
    EXPECT_EQ(second["started_at"], first["ended_at"]);
    EXPECT_EQ(samples(second["file"]).size(), 524u);
    EXPECT_EQ(report["sequence"], 2);
    EXPECT_TRUE(fake.fileSystem.file(second["file"])->finished);
    EXPECT_FALSE(fake.fileSystem.exists("/rec/pending/part-2.m4a"));
}

TEST_F(Recorder, AfterAGapThePartStartsASecondBeforeItOpened)
{
    start(false);
    system(160000); // exactly one part: nothing stays open
    EXPECT_EQ(fake.fileSystem.contents("/rec/pending")->size(), 0u);
    fake.clock.advance(5s);
    const auto reopened = fake.clock.clock().date();
    system(1600);
    recorder->stop();
    const Json parts = status()["parts"];
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1]["started_at"], AudioRecorder::iso(reopened - 1s));
}

TEST_F(Recorder, AudioRunningAheadStillGivesContiguousParts)
{
    start(false);
    system(160000, 0.25f, false);
    system(1000, 0.25f, false);
    recorder->stop();
    const Json parts = status()["parts"];
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[1]["started_at"], parts[0]["ended_at"]);
    // 1000 frames last 62.5 ms; both ends are truncated to whole milliseconds.
    const std::string name = parts[1]["file"];
    const auto dash = name.rfind('-');
    const auto start = std::stoll(name.substr(name.rfind('-', dash - 1) + 1));
    const auto end = std::stoll(name.substr(dash + 1));
    EXPECT_TRUE(end - start == 62 || end - start == 63) << name;
}

TEST_F(Recorder, StoppingTwiceListsTheLastPartOnceAndAnEmptyPartIsNoPart)
{
    start(false);
    system(1600);
    recorder->stop();
    recorder->stop();
    EXPECT_EQ(status()["parts"].size(), 1u);

    start(false);
    system(160000);
    recorder->stop(); // right after a boundary: nothing open
    EXPECT_EQ(status()["parts"].size(), 1u);
    EXPECT_EQ(status()["sequence"], 1);
}

TEST_F(Recorder, TheMicrophoneIsTheClockAndSystemAudioIsLaidOverIt)
{
    start(true);
    system(300, 0.25f);
    microphone(1024, 0.5f);
    EXPECT_NEAR(status()["level"].get<double>(), std::min(1.0, 4 * std::sqrt((300 * 0.5625 + 724 * 0.25) / 1024)), 1e-6);
    system(5000, 0.125f);
    microphone(100, 0.5f);
    recorder->stop();
    const auto written = samples(partFiles().at(0));
    ASSERT_EQ(written.size(), 1124u);
    EXPECT_EQ(written[0], 0.75f);
    EXPECT_EQ(written[299], 0.75f);
    EXPECT_EQ(written[300], 0.5f);
    EXPECT_EQ(written[1024], 0.625f);
    const Json report = status();
    EXPECT_TRUE(report.contains("last_audio_at"));
    EXPECT_TRUE(report.contains("last_system_audio_at"));
    EXPECT_TRUE(report.contains("last_microphone_audio_at"));
}

TEST_F(Recorder, BuffersOfAnyFormatAreConvertedAndAFormatChangeReplacesTheConverterOnce)
{
    start(false);
    const AudioFormat stereo16{48000, 2, SampleType::signed16, true};
    const AudioFormat planar{44100, 2, SampleType::float32, false};
    const int before = fake.audio.counts().convertersMade;
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(fake.systemAudio.deliver(makeFakeBuffer(stereo16, std::vector<float>(480, 0.5f))));
    status();
    EXPECT_EQ(fake.audio.counts().convertersMade, before + 1);
    ASSERT_TRUE(fake.systemAudio.deliver(makeFakeBuffer(planar, std::vector<float>(441, -0.5f))));
    status();
    EXPECT_EQ(fake.audio.counts().convertersMade, before + 2);
    recorder->stop();
    const auto written = samples(partFiles().at(0));
    EXPECT_EQ(written.size(), 3 * 160u + 160u);
    EXPECT_NEAR(written.front(), 0.5f, 1e-4);
    EXPECT_NEAR(written.back(), -0.5f, 1e-4);
}

TEST_F(Recorder, AWriteErrorEndsTheRecordingButKeepsWhatWasWritten)
{
    start(false);
    system(160000);
    system(8000);
    fake.audio.setWriteLimit(10000, diskFull);
    system(4000);
    // The refused file takes nothing more, as the real writer.
    fake.audio.setWriteLimit(std::nullopt, diskFull);
    const Json report = status();
    EXPECT_EQ(report["recording"], false);
    EXPECT_EQ(report["error"], "could not write the audio part: No space left on device");
    EXPECT_EQ(report["system_audio"], "off");
    EXPECT_EQ(report["microphone"], "off");
    // The part under way was finished: both parts are listed and playable.
    ASSERT_EQ(report["parts"].size(), 2u);
    EXPECT_EQ(samples(report["parts"][1]["file"]).size(), 8000u);
    EXPECT_TRUE(fake.fileSystem.file(report["parts"][1]["file"])->finished);
    EXPECT_FALSE(fake.systemAudio.streamAlive());
    EXPECT_FALSE(fake.systemAudio.deliver(makeFakeBuffer(AudioRecorder::format(), std::vector<float>(10, 0))));
    recorder->stop(); // already over
    EXPECT_EQ(status(), report);
}

TEST_F(Recorder, APartThatCannotBeFinishedIsRemovedNotLeftUnplayable)
{
    start(false);
    system(8000);
    fake.audio.setWriteLimit(8000, diskFull);
    fake.audio.setFinishError(diskFull);
    system(100);
    const Json report = status();
    EXPECT_EQ(report["error"], "could not write the audio part: No space left on device");
    EXPECT_TRUE(report["parts"].empty());
    EXPECT_TRUE(fake.fileSystem.files().empty());

    // Finishing at a stop that fails is the recording's failure.
    fake.audio.setWriteLimit(std::nullopt, diskFull);
    start(false);
    system(100);
    recorder->stop();
    EXPECT_EQ(status()["error"], "could not finish an audio part: No space left on device");
    EXPECT_TRUE(fake.fileSystem.files().empty());
}

TEST_F(Recorder, PartsThatCannotBeOpenedOrMovedEndTheRecording)
{
    fake.audio.setOpenError(PlatformError("POSIX", 30, "Read-only file system"));
    start(false);
    system(100);
    EXPECT_EQ(status()["error"], "could not open an audio part: Read-only file system");
    EXPECT_EQ(status()["recording"], false);
    EXPECT_EQ(status()["sequence"], 0);

    fake.audio.setOpenError(std::nullopt);
    fake.fileSystem.setMoveError(PlatformError("POSIX", 13, "Permission denied"));
    start(false);
    system(160000);
    const Json report = status();
    EXPECT_EQ(report["error"], "could not finish an audio part: Permission denied");
    EXPECT_TRUE(report["parts"].empty());
    // Finished, but left where it was written.
    EXPECT_TRUE(fake.fileSystem.file("/rec/pending/part-1.m4a")->finished);
}

TEST_F(Recorder, TheSystemStreamStoppingEndsTheRecordingUnlessTheMicrophoneRuns)
{
    start(true);
    ASSERT_TRUE(fake.systemAudio.reportStop(refused));
    microphone(1024);
    Json report = status();
    EXPECT_EQ(report["recording"], true);
    EXPECT_EQ(report["system_audio"], "error: Connection refused (PulseAudio error 5)");
    EXPECT_EQ(report["microphone"], "on");
    recorder->stop();

    start(false);
    system(1600);
    ASSERT_TRUE(fake.systemAudio.reportStop(refused));
    report = status();
    EXPECT_EQ(report["recording"], false);
    EXPECT_EQ(report["error"], "the system audio stream stopped: Connection refused (PulseAudio error 5)");
    EXPECT_EQ(report["system_audio"], "off");
    EXPECT_EQ(report["parts"].size(), 1u);
}

TEST_F(Recorder, TheMicrophoneStoppingHandsTheClockToSystemAudio)
{
    start(true);
    system(3000, 0.25f);
    ASSERT_TRUE(fake.audio.stopMicrophoneWithError(refused));
    system(1000, 0.125f);
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    Json report = status();
    EXPECT_EQ(report["recording"], true);
    EXPECT_EQ(report["microphone"], "error: Connection refused (PulseAudio error 5)");
    recorder->stop();
    // What system audio had queued while the microphone was the clock is not lost.
    EXPECT_EQ(samples(partFiles().at(0)).size(), 4000u);

    start(true, 10);
    microphone(1600);
    ASSERT_TRUE(fake.systemAudio.reportStop(refused));
    ASSERT_TRUE(fake.audio.stopMicrophoneWithError(refused));
    report = status();
    EXPECT_EQ(report["recording"], false);
    EXPECT_EQ(report["error"], "the microphone stopped: Connection refused (PulseAudio error 5)");
    EXPECT_EQ(report["parts"].size(), 1u);
}

TEST_F(Recorder, AMicrophoneThatDeliversNothingHandsTheClockToSystemAudio)
{
    start(true);
    microphone(1600);
    for (int i = 0; i < 26; ++i)
        system(1600, 0.25f); // 2.5 s pass with system audio queued behind a quiet clock
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::microphone);
    system(1600, 0.25f);
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    microphone(800, 0.5f); // back again: now it is laid over system audio
    system(1600, 0.25f);
    recorder->stop();
    const auto written = samples(partFiles().at(0));
    ASSERT_EQ(written.size(), 1600u + 28 * 1600u);
    EXPECT_EQ(written[1600], 0.25f);
    EXPECT_EQ(written[1600 + 27 * 1600], 0.75f);
    EXPECT_EQ(written.back(), 0.25f);
    EXPECT_EQ(status()["microphone"], "off");
}

// Whichever source still delivers carries the recording, however often the clock changes
// hands: a recording that says it records writes what it hears.
TEST_F(Recorder, TheClockGoesToWhicheverSourceStillDeliversBothWays)
{
    const auto written = [&] {
        recorder->status(); // the recorder has taken every block
        std::size_t count = 0;
        for (const auto& path : fake.fileSystem.files())
            count += fake.fileSystem.file(path)->samples.size();
        return count;
    };
    const auto quietMicrophone = [&] { // system audio alone, 2.7 s
        for (int i = 0; i < 27; ++i)
            system(1600, 0.25f);
    };
    const auto quietSystem = [&] { // the microphone alone, 2.7 s
        for (int i = 0; i < 27; ++i) {
            microphone(1600, 0.5f);
            fake.clock.advance(100ms);
        }
    };

    // The microphone stalls, then system audio stops: the microphone carries on.
    start(true);
    microphone(1600);
    quietMicrophone();
    ASSERT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    ASSERT_TRUE(fake.systemAudio.reportStop(refused));
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::microphone);
    std::size_t before = written();
    microphone(1600, 0.5f);
    EXPECT_EQ(written(), before + 1600);
    EXPECT_EQ(status()["recording"], true);
    recorder->stop();

    // The microphone stalls, then system audio goes quiet while the microphone is back.
    start(true);
    microphone(1600);
    quietMicrophone();
    ASSERT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    before = written();
    quietSystem();
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::microphone);
    EXPECT_GE(written(), before + 1600);
    // And back once more when the microphone stalls again.
    quietMicrophone();
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    recorder->stop();

    // With the microphone off, system audio is the clock whatever it does.
    start(false);
    system(1600);
    fake.clock.advance(5s);
    system(1600);
    EXPECT_EQ(recorder->clock(), AudioRecorder::Clock::system);
    recorder->stop();
    EXPECT_EQ(samples(partFiles().back()).size(), 3200u);
}

TEST_F(Recorder, AStreamThatNeverConfirmsItsStopIsForgottenAfterFiveSeconds)
{
    fake.systemAudio.setStopAnswer(FakeSystemAudio::StopAnswer::never);
    start(false);
    const auto before = fake.clock.clock().now();
    recorder->stop();
    ASSERT_EQ(fake.clock.timedOutWaits().size(), 1u);
    EXPECT_EQ(fake.clock.timedOutWaits()[0], before + 5s);
    EXPECT_FALSE(fake.systemAudio.streamAlive());
    EXPECT_EQ(status()["recording"], false);
}

TEST_F(Recorder, AStopReportAfterTheStopChangesNothing)
{
    start(false);
    system(1600);
    recorder->stop();
    const Json report = status();
    EXPECT_FALSE(fake.systemAudio.reportStop(refused)); // the stream is gone with its reports
    EXPECT_EQ(status(), report);
}

TEST_F(Recorder, StatusForgetsPartsWhoseFilesAreGone)
{
    start(false);
    system(160000);
    system(160000);
    recorder->stop();
    const auto files = partFiles();
    ASSERT_EQ(files.size(), 2u);
    const auto kept = fake.fileSystem.file(files[0]).value();
    fake.fileSystem.remove(files[0]);
    EXPECT_EQ(partFiles(), (std::vector<std::string>{files[1]}));
    fake.fileSystem.putFile(files[0], kept);
    EXPECT_EQ(partFiles(), (std::vector<std::string>{files[1]}));
}
