// Fuzz target for the receive handling of an update. The input chooses the
// image size and the device's bytes, cut into notifications; an independent
// model of the request rules says what must go out after each one.
//
// Input: two bytes of image size (big-endian, taken modulo 65,281), then
// records of [length, bytes...]. A length byte with its top bit set makes
// the watchdog tick after that notification, with the clock moved on by the
// low bits times 100 ms.

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/frames.h"
#include "protocol/watched_update.h"
#include "tests/kit/fakes.h"

namespace {

using namespace oxu;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "oracle: %s\n", what);
    std::abort();
}

// What the device's bytes must produce, written from the rules rather than
// from the code under test.
struct Model {
    Bytes buffer;
    bool complete = false;

    // Returns the bytes that must be written for this arrival, for an image
    // made of the first imageSize bytes of `pattern`.
    Bytes receive(const Bytes& bytes, const Bytes& pattern, std::size_t imageSize) {
        if (bytes.empty())
            return {};
        if (buffer.empty() && bytes == Bytes{kCompletionByte}) {
            complete = true;
            return {};
        }
        buffer.insert(buffer.end(), bytes.begin(), bytes.end());
        // Two or more bytes led by one that is not a request mark: only a
        // mark can start a request, so what stands before the first goes
        // (everything, when there is none).
        if (buffer.size() >= 2 && buffer[0] != kFrameMark) {
            Bytes kept;
            for (std::uint8_t byte : buffer)
                if (!kept.empty() || byte == kFrameMark)
                    kept.push_back(byte);
            buffer = kept;
        }
        if (buffer.size() >= 2) {
            const int page = buffer[1];
            buffer.clear();
            if (page == 0)
                return {};
            const std::size_t offset = static_cast<std::size_t>(page - 1) * 256;
            const std::size_t end = std::min(offset + 256, imageSize);
            Bytes expected;
            unsigned sum = 0;
            for (std::size_t i = offset; i < end; ++i) {
                expected.push_back(pattern[i]);
                sum += pattern[i];
            }
            expected.push_back(static_cast<std::uint8_t>(sum >> 8));
            expected.push_back(static_cast<std::uint8_t>(sum));
            return expected;
        }
        return {};
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t imageSize = ((std::size_t{data[0]} << 8) | data[1]) % (kMaxImageBytes + 1);
    static const Bytes pattern = [] {
        Bytes bytes(kMaxImageBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8));
        return bytes;
    }();

    testkit::FakePort port;
    port.keepWrites = false;
    testkit::FakeWindow window;
    testkit::FakeClock clock;
    WatchedUpdate update(port, window, clock);
    update.start(Bytes(pattern.begin(), pattern.begin() + static_cast<std::ptrdiff_t>(imageSize)),
                 PortSelection::AsConfigured);

    Model model;
    std::size_t at = 2;
    while (at < size && !model.complete) {
        const std::uint8_t control = data[at++];
        const std::size_t length = std::min<std::size_t>(control & 0x3F, size - at);
        const Bytes chunk(data + at, data + at + length);
        at += length;

        const std::size_t before = port.written.size();
        const std::size_t boxesBefore = window.boxes.size();
        const Bytes expected = model.receive(chunk, pattern, imageSize);
        port.deliver(chunk);
        const Bytes written(port.written.begin() + static_cast<std::ptrdiff_t>(before),
                            port.written.end());
        if (written != expected)
            fail("written bytes differ from the requested page and its checksum");
        if (update.pendingBytes() != model.buffer)
            fail("receive buffer differs from the model");
        if (update.pendingBytes().size() > 1)
            fail("more than one byte left waiting");
        if (model.complete && (port.isOpen() || window.boxes.size() != boxesBefore + 1))
            fail("completion must close the port and say so once");
        if (!chunk.empty() && !update.watching() && !model.complete)
            fail("a receive must re-arm the watchdog");

        if (control & 0x80) {
            clock.advance(std::chrono::milliseconds(100) * ((control >> 6) & 1 ? 12 : 3));
            update.tick();
        }
    }
    if (model.complete) {
        // Nothing may go out once the device has said it is done.
        const std::size_t after = port.written.size();
        update.tick();
        if (port.written.size() != after)
            fail("bytes written after completion");
    }
    return 0;
}
