// The reader process that the /sys and rpm readers share: what the child
// holds open, and how each way a child can answer or fail reaches the
// caller.
#include "reader.h"
#include "support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Answers each request by its first byte: "d" the descriptors it holds
// ("N" for /dev/null, "S" for another, its channel), "m" a mark, "b" bytes
// of the request's length, "s" silence for good, "e" its end; "h" an
// answer and then silence, as a read that hangs after one that did not,
// "x" an answer and then its end, "w" 100 answers of 4,000 bytes each, more
// than the shared memory holds at once.
void serve(int channel, void *)
{
    char request[64];
    char frame[base::frame_header + 4096];
    char *bytes = frame + base::frame_header;
    size_t length;
    while (base::receive_frame(channel, request, sizeof request, length) && length > 0) {
        int32_t answer = 0;
        struct stat null, held;
        switch (request[0]) {
        case 'd':
            for (int fd = 0; fd < 16 && stat("/dev/null", &null) == 0; fd++)
                if (fstat(fd, &held) == 0)
                    bytes[answer++] = held.st_rdev == null.st_rdev ? 'N' : 'S';
            break;
        case 'm':
            answer = -1;
            break;
        case 'b':
            memcpy(bytes, request, length);
            answer = static_cast<int32_t>(length);
            break;
        case 's':
            (void)pause();
            break;
        case 'h':
        case 'x':
            answer = 1;
            bytes[0] = request[0];
            if (!base::send_frame(channel, frame, answer))
                return;
            if (request[0] == 'x')
                return;
            (void)pause();
            break;
        case 'w':
            answer = 4000;
            for (int i = 0; i < 100; i++) {
                memset(bytes, 'a' + i % 26, static_cast<size_t>(answer));
                if (!base::send_frame(channel, frame, answer))
                    return;
            }
            answer = -1;
            break;
        default:
            return;
        }
        if (!base::send_frame(channel, frame, answer))
            return;
    }
}

} // namespace

TEST(ReaderProcess, HoldsOnlyItsChannelAndAnswersEachWayItCan)
{
    base::ReaderProcess reader;
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    auto soon = [] { return base::Clock::now() + std::chrono::milliseconds(2000); };
    // Several requests ahead of their answers: each answer in its turn,
    // however many came in together.
    for (const char *request : {"bb", "m", "bbb"})
        ASSERT_EQ(reader.send(request), 0);
    for (auto [error, expected] : {std::pair{0, "bb"}, {ENODATA, ""}, {0, "bbb"}}) {
        std::string text;
        EXPECT_EQ(reader.receive(text, 64, soon()), error);
        EXPECT_EQ(text, expected);
    }
    // Each step: the request, the cap, what receive answers and the text.
    struct Step {
        std::string request;
        size_t cap;
        int error;
        std::string text;
    } steps[] = {
        {"d", 64, 0, "NNNS"},
        {"m", 64, ENODATA, ""},
        {"bbbb", 64, 0, "bbbb"},
        {"bbbbb", 4, EFBIG, ""},
    };
    for (const Step &step : steps) {
        std::string text;
        ASSERT_EQ(reader.send(step.request), 0) << step.request;
        EXPECT_EQ(reader.receive(text, step.cap, soon()), step.error) << step.request;
        EXPECT_EQ(text, step.text) << step.request;
    }
    // A frame past the cap is left unread: the reader is done with.
    reader.stop();
    EXPECT_FALSE(reader.running());
    std::string text;
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    ASSERT_EQ(reader.send("s"), 0);
    EXPECT_EQ(reader.receive(text, 64, base::Clock::now() + std::chrono::milliseconds(50)),
              ETIMEDOUT);
    reader.stop();
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    ASSERT_EQ(reader.send("e"), 0);
    EXPECT_EQ(reader.receive(text, 64, soon()), EPIPE);
}

// What the child has written reaches the caller without the child's help:
// an answer followed by a hang is taken, and the hang costs the next one
// alone; an answer followed by the child's end is taken before the end is
// seen; answers that fill the shared memory come through whole, in order.
TEST(ReaderProcess, AnswersReachTheCallerHoweverTheChildGoesOn)
{
    base::ReaderProcess reader;
    auto soon = [] { return base::Clock::now() + std::chrono::milliseconds(2000); };
    std::string text;
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    ASSERT_EQ(reader.send("h"), 0);
    EXPECT_EQ(reader.receive(text, 64, soon()), 0);
    EXPECT_EQ(text, "h");
    EXPECT_EQ(reader.receive(text, 64, base::Clock::now() + std::chrono::milliseconds(50)),
              ETIMEDOUT);
    reader.stop();
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    ASSERT_EQ(reader.send("x"), 0);
    EXPECT_EQ(reader.receive(text = "", 64, soon()), 0);
    EXPECT_EQ(text, "x");
    EXPECT_EQ(reader.receive(text, 64, soon()), EPIPE);
    reader.stop();
    ASSERT_EQ(reader.start(serve, nullptr), 0);
    for (const char *request : {"w", "bb"})
        ASSERT_EQ(reader.send(request), 0);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(reader.receive(text = "", 8192, soon()), 0);
        EXPECT_EQ(text, std::string(4000, static_cast<char>('a' + i % 26))) << i;
    }
    EXPECT_EQ(reader.receive(text = "", 64, soon()), ENODATA);
    EXPECT_EQ(reader.receive(text, 64, soon()), 0);
    EXPECT_EQ(text, "bb");
}
