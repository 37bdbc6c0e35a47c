#include "tests/support/localserver.h"
#include "tools/portal/catalogue.h"
#include "tools/portal/portal.h"

#include <gtest/gtest.h>

using namespace plimo::portal;

namespace {

std::string littleEndian(std::uint32_t value)
{
    return {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
}

// The demo's downloads must play: a whole WAV file, its sizes in the header.
TEST(Portal, AServedWavIsWholeAndValid)
{
    Portal portal;
    plimo::test::LocalServer server;
    portal.install(server.http());
    server.start();
    httplib::Client client("127.0.0.1", server.port());
    const auto wav = client.Get(fileAddress(audioFiles()[5]));  // a Hangul name, via a proxy
    ASSERT_TRUE(wav);
    const auto size = static_cast<std::uint32_t>(wav->body.size());
    ASSERT_EQ(wav->get_header_value("Content-Length"), std::to_string(size));
    // PCM, mono, 22050 Hz, 44100 bytes a second, 2 bytes a sample, 16 bits
    const std::string fmt("WAVEfmt \x10\0\0\0\1\0\1\0\x22\x56\0\0\x44\xac\0\0\2\0\x10\0data", 32);
    EXPECT_EQ(wav->body.substr(0, WavHeaderSize),
              "RIFF" + littleEndian(size - 8) + fmt + littleEndian(size - WavHeaderSize));
}

}  // namespace
