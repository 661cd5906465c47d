#include "crypto/twofish.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> FromHex(const char* hex) {
    std::vector<unsigned char> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back((unsigned char)std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

std::unique_ptr<Twofish_key> Expand(const unsigned char* key, int n) {
    std::unique_ptr<Twofish_key> xkey(new Twofish_key);
    Twofish_prepare_key(const_cast<unsigned char*>(key), n, xkey.get());
    return xkey;
}

class TwofishTest : public ::testing::Test {
  protected:
    // Returns only when the platform check and the whole self-test passed.
    static void SetUpTestSuite() { Twofish_initialise(); }
};

// Known answers from "Twofish: A 128-Bit Block Cipher" (Schneier, Kelsey,
// Whiting, Wagner, Hall, Ferguson; AES submission, 1998), file ECB_TBL.TXT;
// each block also in place, as the cipher feedback code uses it.
TEST_F(TwofishTest, KnownAnswers) {
    const struct {
        const char *key, *plain, *cipher;
    } cases[] = {
        {"9F589F5CF6122C32B6BFEC2F2AE8C35A", "D491DB16E7B1C39E86CB086B789F5419",
         "019F9809DE1711858FAAC3A3BA20FBC3"},
        {"88B2B2706B105E36B446BB6D731A1E88EFA71F788965BD44", "39DA69D6BA4997D585B6DC073CA341B2",
         "182B02D81497EA45F9DAACDC29193A65"},
        {"D43BB7556EA32E46F2A282B7D45B4E0D57FF739D4DC92C1BD7FC01700CC8216F",
         "90AFE91BB288544F2C32DC239B2635E6", "6CB4561C40BF0A9705931CB6D408E7FA"},
    };
    for (const auto& c : cases) {
        auto key = FromHex(c.key), plain = FromHex(c.plain), cipher = FromHex(c.cipher);
        auto xkey = Expand(key.data(), (int)key.size());
        std::vector<unsigned char> out(16), inPlace = plain;
        Twofish_encrypt(xkey.get(), plain.data(), out.data());
        Twofish_encrypt(xkey.get(), inPlace.data(), inPlace.data());
        EXPECT_EQ(out, cipher) << c.key;
        EXPECT_EQ(inPlace, cipher) << c.key;
        Twofish_decrypt(xkey.get(), cipher.data(), out.data());
        Twofish_decrypt(xkey.get(), inPlace.data(), inPlace.data());
        EXPECT_EQ(out, plain) << c.key;
        EXPECT_EQ(inPlace, plain) << c.key;
    }
}

// The iterated test of the same document: each plaintext is the previous
// ciphertext, each key the previous plaintext followed by the previous key;
// the values are those of iteration I=49.
TEST_F(TwofishTest, FortyNineStepChains) {
    const struct {
        int keyLength;
        const char* final49;
    } cases[] = {
        {16, "5D9D4EEFFA9151575524F115815A12E0"},
        {24, "E75449212BEEF9F4A390BD860A640941"},
        {32, "37FE26FF1CF66175F5DDF4C33B97A205"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> plain(16, 0), key(32, 0), cipher(16);
        for (int i = 0; i < 49; ++i) {
            Twofish_encrypt(Expand(key.data(), c.keyLength).get(), plain.data(), cipher.data());
            key.insert(key.begin(), plain.begin(), plain.end());
            key.resize(32);
            plain = cipher;
        }
        EXPECT_EQ(FromHex(c.final49), cipher) << c.keyLength;
    }
}

// A key of any length from 0 to 32 (the agent's keys are 20-byte digests)
// expands exactly like the same bytes padded with zeros to 16, 24 or 32, and
// decrypting undoes encrypting under it.
TEST_F(TwofishTest, OddSizedKeysExpandAsPaddedAndInvert) {
    std::mt19937 rng(5);
    for (int n = 0; n <= 32; ++n) {
        unsigned char padded[32] = {0}, block[16], enc[16], dec[16];
        for (int i = 0; i < n; ++i) padded[i] = (unsigned char)rng();
        for (auto& b : block) b = (unsigned char)rng();
        int full = n <= 16 ? 16 : n <= 24 ? 24 : 32;
        auto xkey = Expand(padded, n);
        EXPECT_EQ(0, memcmp(xkey.get(), Expand(padded, full).get(), sizeof(Twofish_key))) << n;
        Twofish_encrypt(xkey.get(), block, enc);
        Twofish_decrypt(xkey.get(), enc, dec);
        EXPECT_NE(0, memcmp(enc, block, 16)) << n;
        EXPECT_EQ(0, memcmp(dec, block, 16)) << n;
    }
    unsigned char zeros[32] = {0};
    EXPECT_NE(0, memcmp(Expand(zeros, 16).get(), Expand(zeros, 24).get(), sizeof(Twofish_key)));
    // A second initialisation only re-runs the self-test.
    Twofish_initialise();
}

TEST_F(TwofishTest, IllegalKeyLengthIsFatal) {
    unsigned char key[40] = {0};
    Twofish_key xkey;
    for (int n : {-1, 33}) {
        EXPECT_EXIT(Twofish_prepare_key(key, n, &xkey), ::testing::ExitedWithCode(3),
                    "^\nTwofish fatal error: Twofish_prepare_key: illegal key length\n"
                    "Process terminated\n$")
            << n;
    }
}

// Runs in a freshly started copy of the test program, where nothing has
// initialised the module yet.
TEST(TwofishUninitialisedDeathTest, PrepareKeyBeforeInitialiseIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    unsigned char key[16] = {0};
    Twofish_key xkey;
    EXPECT_EXIT(Twofish_prepare_key(key, 16, &xkey), ::testing::ExitedWithCode(3),
                "^\nTwofish fatal error: Twofish implementation was not initialised.\n"
                "Process terminated\n$");
}

}  // namespace
