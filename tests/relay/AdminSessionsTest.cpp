// Admin sessions and the login back-off, on a clock the test moves: idle and absolute expiry,
// logout, sessions ended by a change of their account, the cookie's token compared in constant
// time, and the back-off per address and per name with its cap.
#include "relay/AdminSessions.hpp"

#include "net/Secrets.hpp"

#include <gtest/gtest.h>

#include <set>

namespace tnlrelay {
namespace {

using namespace std::chrono_literals;
using Clock = AdminSessions::Clock;

const AdminAccount kAnn{"ann", AdminRole::moderator, "scrypt$hash-of-ann"};
const AdminAccount kVic{"vic", AdminRole::viewer, "scrypt$hash-of-vic"};

TEST(AdminSessions, ATokenNamesItsSessionUntilIdleOrOldOrClosed) {
    AdminSessions sessions;
    const auto t0 = Clock::now();
    const AdminSession* opened = nullptr;
    const std::string token = sessions.open(kAnn, t0, &opened);
    ASSERT_EQ(token.size(), 80u) << "a 64-bit selector and a 256-bit secret, in hex";
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->csrf.size(), 64u);
    EXPECT_NE(sessions.open(kAnn, t0), token) << "every login gets a token of its own";
    EXPECT_EQ(sessions.size(), 2u);

    const AdminSession* s = sessions.find(token, t0 + 29min);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->name, "ann");
    EXPECT_EQ(s->role, AdminRole::moderator);
    // Each use restarts the idle time, up to the session's absolute end.
    for (auto at = t0 + 58min; at < t0 + 12h; at += 29min)
        ASSERT_NE(sessions.find(token, at), nullptr) << "in use, it lives";
    EXPECT_EQ(sessions.find(token, t0 + 12h), nullptr) << "12 hours end it however it is used";
    EXPECT_EQ(sessions.find(token, t0 + 12h - 1s), nullptr) << "and it stays ended";

    const std::string idle = sessions.open(kAnn, t0);
    EXPECT_NE(sessions.find(idle, t0 + 30min - 1s), nullptr);
    EXPECT_EQ(sessions.find(idle, t0 + 60min - 1s), nullptr) << "30 idle minutes end it";

    const std::string closed = sessions.open(kVic, t0);
    sessions.close(closed);
    EXPECT_EQ(sessions.find(closed, t0), nullptr) << "logged out";

    // A token with the right selector and a wrong secret names nothing, and the secret was
    // compared in constant time.
    const std::string live = sessions.open(kVic, t0);
    std::string forged = live;
    forged.back() = forged.back() == '0' ? '1' : '0';
    const std::uint64_t comparisons = net::secretComparisons();
    EXPECT_EQ(sessions.find(forged, t0), nullptr);
    EXPECT_GT(net::secretComparisons(), comparisons);
    sessions.close(forged);
    EXPECT_NE(sessions.find(live, t0), nullptr) << "a wrong secret does not log anyone out";
    for (std::string_view bad : {std::string_view(""), std::string_view(live).substr(0, 79),
                                 std::string_view(live.substr(0, 16))})
        EXPECT_EQ(sessions.find(bad, t0), nullptr) << bad;

    sessions.sweep(t0 + 31min);
    EXPECT_EQ(sessions.size(), 0u) << "expired sessions are forgotten";
}

TEST(AdminSessions, ChangingAnAccountEndsItsSessionsAndARoleChangeHoldsAtOnce) {
    AdminSessions sessions;
    const auto t0 = Clock::now();
    const std::string ann = sessions.open(kAnn, t0);
    const std::string vic = sessions.open(kVic, t0);
    const std::string vic2 = sessions.open(kVic, t0);

    AdminAccount demoted = kAnn;
    demoted.role = AdminRole::viewer;
    EXPECT_EQ(sessions.reconcile({demoted, kVic}), 0u);
    ASSERT_NE(sessions.find(ann, t0), nullptr);
    EXPECT_EQ(sessions.find(ann, t0)->role, AdminRole::viewer);

    AdminAccount newPassword = kVic;
    newPassword.passwordHash = "scrypt$another";
    EXPECT_EQ(sessions.reconcile({demoted, newPassword}), 2u) << "both of vic's sessions";
    EXPECT_EQ(sessions.find(vic, t0), nullptr);
    EXPECT_EQ(sessions.find(vic2, t0), nullptr);
    EXPECT_EQ(sessions.reconcile({newPassword}), 1u) << "ann's account is gone";
    EXPECT_EQ(sessions.find(ann, t0), nullptr);
}

TEST(AdminSessions, TheOldestSessionMakesRoomForANewOne) {
    AdminSessions sessions;
    const auto t0 = Clock::now();
    const std::string first = sessions.open(kAnn, t0);
    for (std::size_t i = 1; i < AdminSessions::kMaxSessions; ++i)
        sessions.open(kVic, t0 + 1s);
    EXPECT_NE(sessions.find(first, t0 + 2s), nullptr) << "used last, so kept";
    const std::string last = sessions.open(kVic, t0 + 3s);
    EXPECT_EQ(sessions.size(), AdminSessions::kMaxSessions);
    EXPECT_NE(sessions.find(first, t0 + 3s), nullptr);
    EXPECT_NE(sessions.find(last, t0 + 3s), nullptr);
}

TEST(AdminSessions, TheTokenIsReadFromTheCookieHeader) {
    const std::string_view header = "theme=dark; tnlrelay_session=abc123 ;other=x";
    EXPECT_EQ(AdminSessions::tokenOf(&header), "abc123");
    const std::string_view none = "tnlrelay_sessionx=1; xtnlrelay_session=2";
    EXPECT_EQ(AdminSessions::tokenOf(&none), "");
    EXPECT_EQ(AdminSessions::tokenOf(nullptr), "");
}

TEST(LoginThrottle, FailuresDoubleThePausePerAddressAndPerNameUpToTheCap) {
    LoginThrottle throttle;
    const auto t0 = Clock::now();
    EXPECT_EQ(throttle.wait("10.0.0.1", "ann", t0), Clock::duration::zero());
    throttle.failed("10.0.0.1", "ann", t0);
    EXPECT_EQ(throttle.wait("10.0.0.1", "ann", t0), Clock::duration::zero())
        << "one mistyped password costs nothing";
    throttle.failed("10.0.0.1", "ann", t0);
    EXPECT_EQ(throttle.wait("10.0.0.1", "ann", t0), Clock::duration(2s));
    EXPECT_EQ(throttle.wait("10.0.0.1", "bob", t0), Clock::duration(2s)) << "per address";
    EXPECT_EQ(throttle.wait("10.0.0.2", "ann", t0 + 1s), Clock::duration(1s)) << "per name";
    EXPECT_EQ(throttle.wait("10.0.0.2", "bob", t0), Clock::duration::zero());

    std::vector<Clock::duration> pauses;
    for (std::uint32_t failures = 1; failures <= 9; ++failures)
        pauses.push_back(LoginThrottle::pauseAfter(failures));
    EXPECT_EQ(pauses, (std::vector<Clock::duration>{0s, 2s, 4s, 8s, 16s, 32s, 60s, 60s, 60s}));
    EXPECT_EQ(LoginThrottle::pauseAfter(100000), Clock::duration(60s));

    throttle.succeeded("10.0.0.1", "ann");
    EXPECT_EQ(throttle.wait("10.0.0.1", "ann", t0), Clock::duration::zero())
        << "a good login clears both";

    throttle.failed("10.0.0.3", "cy", t0);
    throttle.failed("10.0.0.3", "cy", t0);
    throttle.sweep(t0 + 15min);
    EXPECT_EQ(throttle.wait("10.0.0.3", "cy", t0 + 1s), Clock::duration(1s)) << "not yet quiet";
    throttle.sweep(t0 + 16min);
    throttle.failed("10.0.0.3", "cy", t0 + 16min);
    EXPECT_EQ(throttle.wait("10.0.0.3", "cy", t0 + 16min), Clock::duration::zero())
        << "forgotten once quiet: the count starts again";
}

} // namespace
} // namespace tnlrelay
