// Admin password hashes and their checking thread: hashes verify the password they were made
// from and nothing else (compared in constant time), a published scrypt vector verifies, texts
// that are no usable hash are refused before any work, and the checking queue refuses what
// goes beyond it and hands every result back.
#include "relay/PasswordHash.hpp"
#include "relay/PasswordChecker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tnlrelay {
namespace {

TEST(PasswordHash, AHashVerifiesItsPasswordOnlyAndCarriesItsCost) {
    const std::optional<std::string> hash = makePasswordHash("correct horse");
    ASSERT_TRUE(hash);
    EXPECT_EQ(hash->rfind("scrypt$32768$8$1$", 0), 0u) << *hash;
    EXPECT_TRUE(passwordHashUsable(*hash));
    const std::uint64_t comparisons = net::secretComparisons();
    EXPECT_TRUE(verifyPassword("correct horse", *hash));
    EXPECT_FALSE(verifyPassword("correct horsf", *hash));
    EXPECT_FALSE(verifyPassword("", *hash));
    EXPECT_EQ(net::secretComparisons(), comparisons + 3) << "each check compares in constant time";
    EXPECT_NE(makePasswordHash("correct horse"), hash) << "every hash has a salt of its own";

    // scrypt's published vector (N 16384, r 8, p 1, 64 bytes), written the way config.json
    // keeps it: the cost is read from the text, not assumed.
    const std::string published =
        "scrypt$16384$8$1$U29kaXVtQ2hsb3JpZGU=$cCO9yzr9c0hGHAbNgf046/2o+7qQT44+qbVD9lRdofLVQylVYT"
        "8Pz2LUlwUkKpr55h6F3A1lHkDfzwF7RVdYhw==";
    EXPECT_TRUE(verifyPassword("pleaseletmein", published));
    EXPECT_FALSE(verifyPassword("pleaseletmeout", published));
}

TEST(PasswordHash, TextsThatAreNoUsableHashAreRefusedWithoutWork) {
    const std::string salt = "U29kaXVtQ2hsb3JpZGU=",
                      sum = "cCO9yzr9c0hGHAbNgf046/2o+7qQT44+qbVD9lRdofI=";
    EXPECT_TRUE(passwordHashUsable("scrypt$16384$8$1$" + salt + "$" + sum));
    for (const std::string& bad : {
             std::string(""), std::string("correct horse"), "scrypt$16384$8$1$" + salt,
             "scrypt$16384$8$1$" + salt + "$" + sum + "$", "bcrypt$16384$8$1$" + salt + "$" + sum,
             "scrypt$16383$8$1$" + salt + "$" + sum,   // N not a power of two
             "scrypt$1$8$1$" + salt + "$" + sum,       // N below 2
             "scrypt$016384$8$1$" + salt + "$" + sum,  // a leading zero
             "scrypt$-16384$8$1$" + salt + "$" + sum,  // a sign
             "scrypt$16384$0$1$" + salt + "$" + sum,   // r 0
             "scrypt$16384$8$0$" + salt + "$" + sum,   // p 0
             "scrypt$1048576$8$1$" + salt + "$" + sum, // 1 GiB: over the memory limit
             "scrypt$4294967296$8$1$" + salt + "$" + sum, "scrypt$16384$8$1$" + salt + "$c!O9",
             "scrypt$16384$8$1$" + salt + "$cCO9=A==",
             "scrypt$16384$8$1$AAA=$" + sum, // 2-byte salt
         }) {
        EXPECT_FALSE(passwordHashUsable(bad)) << bad;
        EXPECT_FALSE(verifyPassword("pleaseletmein", bad)) << bad;
    }
}

// Checks that finish before the loop takes them still count against the queue, so that a
// flood holds no more than the queue's worth of passwords and results.
TEST(PasswordChecker, RefusesBeyondItsQueueAndHandsEveryResultBack) {
    std::atomic<int> wakes{0};
    auto equal = [](std::string_view password, std::string_view hash) { return password == hash; };
    PasswordChecker checker([&] { ++wakes; }, equal);
    for (std::uint64_t id = 1; id <= PasswordChecker::kCapacity; ++id)
        ASSERT_TRUE(checker.submit({id, id % 2 ? "right" : "wrong", "right"})) << id;
    EXPECT_FALSE(checker.submit({99, "right", "right"})) << "the queue is full";

    std::vector<PasswordChecker::Result> results;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (results.size() < PasswordChecker::kCapacity && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (const auto& r : checker.takeResults())
            results.push_back(r);
    }
    ASSERT_EQ(results.size(), PasswordChecker::kCapacity);
    EXPECT_EQ(wakes.load(), int(PasswordChecker::kCapacity)) << "one wake per result";
    for (std::size_t i = 0; i < results.size(); ++i) {
        EXPECT_EQ(results[i].id, i + 1) << "in the order they came";
        EXPECT_EQ(results[i].match, results[i].id % 2 == 1) << results[i].id;
    }
    EXPECT_TRUE(checker.submit({100, "right", "right"})) << "taken results make room";
}

} // namespace
} // namespace tnlrelay
