#include <gtest/gtest.h>

#include <QTest>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>

#include "Platform/Audio/Output.hpp"
#include "PulseServer.hpp"

using namespace osterveil;
using audio::Output;
using testsupport::PulseServer;
using testsupport::SinkRecorder;

namespace {

constexpr int kRate = Output::sampleRate;

// A 1 kHz tone at half of full scale, `seconds` long.
std::vector<float> tone(double seconds) {
    std::vector<float> samples(std::size_t(seconds * kRate) * Output::channels);
    for (std::size_t i = 0; i < samples.size() / 2; ++i)
        samples[2 * i] = samples[2 * i + 1] = 0.5f * float(std::sin(2 * std::numbers::pi * 1000 * double(i) / kRate));
    return samples;
}

// Hands `samples` from frame `at` on to the output as it takes them; false when it stops taking them.
bool feed(Output& out, const std::vector<float>& samples, std::size_t at = 0) {
    const std::size_t frames = samples.size() / Output::channels;
    return QTest::qWaitFor(
        [&] {
            at += out.write(samples.data() + Output::channels * at, frames - at);
            return at == frames;
        },
        20000);
}

TEST(SoundOutput, PlaysThroughTheSoundServerAndCountsWhatWasHeard) {
    PulseServer server;
    if (!server.running()) GTEST_SKIP() << "pulseaudio is not installed";
    SinkRecorder recorder;
    ASSERT_TRUE(recorder.started());
    auto out = Output::create();
    ASSERT_TRUE(QTest::qWaitFor([&] { return out->kind() == Output::Kind::device; }, 20000));

    const auto samples = tone(2);
    const std::int64_t total = std::int64_t(samples.size() / 2);
    const std::int64_t before = out->position();
    const std::size_t queued = out->write(samples.data(), samples.size() / 2);
    out->start();
    ASSERT_TRUE(feed(*out, samples, queued));
    // The position reaches the end of the sound once it has been heard, and stays there.
    ASSERT_TRUE(QTest::qWaitFor([&] { return out->position() - before >= total; }, 20000));
    EXPECT_EQ(out->position() - before, total);
    EXPECT_EQ(out->deviceLosses(), 0u);

    // The server played the tone as it was written: as long, and as loud.
    std::size_t first = 0, last = 0;
    const auto toneEnds = [&](const std::vector<float>& heard) {
        first = heard.size();
        last = 0;
        for (std::size_t i = 0; i < heard.size(); ++i)
            if (std::abs(heard[i]) > 0.05f) {
                first = std::min(first, i);
                last = i;
            }
        return first < last && heard.size() > last + kRate / 10;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return toneEnds(recorder.left()); }, 20000));
    const std::vector<float> heard = recorder.finish();
    ASSERT_TRUE(toneEnds(heard));
    double sum = 0;
    for (std::size_t i = first; i <= last; ++i)
        sum += double(heard[i]) * heard[i];
    EXPECT_NEAR(double(last - first) / kRate, 2.0, 0.05);
    EXPECT_NEAR(std::sqrt(sum / double(last - first)), 0.5 / std::sqrt(2.0), 0.01);
}

// The first number after `label` in what `command` prints, in microseconds.
std::optional<long> microseconds(const char* command, const std::string& label) {
    FILE* pactl = ::popen(command, "r");
    if (!pactl) return std::nullopt;
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pactl)) > 0;)
        text.append(buffer, n);
    ::pclose(pactl);
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::strtol(text.c_str() + at + label.size(), nullptr, 10);
}

// What a start waits for before it is heard is what the sink holds; what rides over a busy moment is what
// the sink and the server hold. On a sink nothing else holds to a short period, as on a desktop, a start
// asks the sink for a hundredth of a second, asked again at every stop (how soon it sounds is the
// benchmarks' to measure); once the play sounds both hold more, at every start.
TEST(SoundOutput, AsksForAShortLatencyAtAStartAndHoldsMoreOnceThePlaySounds) {
    PulseServer server(false);
    if (!server.running()) GTEST_SKIP() << "pulseaudio is not installed";
    if (server.external()) GTEST_SKIP() << "only PulseAudio tells the latency it gave a sink";
    auto out = Output::create();
    ASSERT_TRUE(QTest::qWaitFor([&] { return out->kind() == Output::Kind::device; }, 20000));
    const auto samples = tone(20);
    std::size_t at = 0;
    std::optional<long> sink, buffer;
    // Waits, the ring kept full, until what the sink was given and what the server holds satisfy `holds`.
    const auto until = [&](auto holds) {
        return QTest::qWaitFor(
            [&] {
                at += out->write(samples.data() + Output::channels * at, samples.size() / 2 - at);
                sink = microseconds("pactl list sinks 2>/dev/null", "configured ");
                buffer = microseconds("pactl list sink-inputs 2>/dev/null", "Buffer Latency: ");
                return sink && buffer && holds(*sink, *buffer);
            },
            20000);
    };
    for (int play = 0; play < 2; ++play) {
        SCOPED_TRACE(play);
        at += out->write(samples.data() + Output::channels * at, samples.size() / 2 - at);
        out->start();
        EXPECT_TRUE(until([](long s, long b) { return s >= 80000 && b >= 300000; }))
            << "the sink was given " << sink.value_or(-1) << " us, the server holds " << buffer.value_or(-1)
            << " us";
        out->stop();
        EXPECT_TRUE(until([](long s, long) { return s <= 10000; }))
            << "stopped, the sink was given " << sink.value_or(-1) << " us";
    }
    EXPECT_EQ(out->deviceLosses(), 0u);
}

} // namespace
