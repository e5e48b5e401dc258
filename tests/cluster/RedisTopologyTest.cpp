// Where the cluster's Redis is: the forms of `clusterRedis`, the slots of a Redis Cluster, which
// key a command goes by, and the registry's names sharing one slot there.
#include "cluster/RedisTopology.hpp"
#include "cluster/ClusterWire.hpp"

#include <gtest/gtest.h>

#include <set>

namespace tnlrelay::cluster {
namespace {

TEST(RedisTopology, AddressesOfEachLayout) {
    auto a = parseRedisAddress("127.0.0.1:6379");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->layout, RedisAddress::Layout::single);
    EXPECT_EQ(a->host, "127.0.0.1");
    EXPECT_EQ(a->port, 6379);
    auto v6 = parseRedisAddress("[::1]:7000");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->servers.front().text(), "[::1]:7000");

    auto s = parseRedisAddress("sentinel://10.0.0.1:26379,[::1]:26380,s3:26381/my-master");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->layout, RedisAddress::Layout::sentinel);
    EXPECT_EQ(s->master, "my-master");
    EXPECT_EQ(s->servers,
              (std::vector<RedisEndpoint>{{"10.0.0.1", 26379}, {"::1", 26380}, {"s3", 26381}}));

    auto c = parseRedisAddress("cluster://h1:7000,h2:7001");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->layout, RedisAddress::Layout::cluster);
    EXPECT_EQ(c->servers, (std::vector<RedisEndpoint>{{"h1", 7000}, {"h2", 7001}}));

    for (const char* bad :
         {"", "redis", ":6379", "host:", "host:0", "host:65536", "host:6379x", "host:-1",
          "host:06379", "h1:1,h2:2", "sentinel://h:26379", "sentinel://h:26379/", "sentinel:///m",
          "sentinel://h:26379/two words", "sentinel://h:1,/m", "cluster://", "cluster://h1:7000,",
          "cluster://h1:7000/x", "redis://h:6379"})
        EXPECT_FALSE(parseRedisAddress(bad)) << bad;
}

TEST(RedisTopology, SlotsFollowHashTagsAsRedisClusterDoes) {
    // Values Redis Cluster gives (CLUSTER KEYSLOT).
    EXPECT_EQ(keySlot("foo"), 12182u);
    EXPECT_EQ(keySlot("bar"), 5061u);
    EXPECT_EQ(keySlot("123456789"), 12739u);
    EXPECT_EQ(keySlot("{user1000}.following"), keySlot("user1000"));
    EXPECT_EQ(keySlot("foo{bar}{zap}"), keySlot("bar"));
    EXPECT_EQ(keySlot("foo{{bar}}zap"), keySlot("{bar"));
    EXPECT_EQ(keySlot("foo{}{bar}"), keySlot("foo{}{bar}")); // an empty tag: the whole key
    EXPECT_NE(keySlot("foo{}{bar}"), keySlot("bar"));
}

TEST(RedisTopology, CommandsGoByTheirFirstKey) {
    using Args = std::vector<std::string_view>;
    EXPECT_EQ(routingKey(Args{"EVAL", "return 1", "2", "k1", "k2", "arg"}), "k1");
    EXPECT_EQ(routingKey(Args{"evalsha", "abc", "1", "k"}), "k");
    EXPECT_FALSE(routingKey(Args{"EVAL", "return 1", "0", "arg"}));
    EXPECT_EQ(routingKey(Args{"SPUBLISH", "tnlrelay:room:a", "m"}), "tnlrelay:room:a");
    EXPECT_EQ(routingKey(Args{"SSUBSCRIBE", "ch"}), "ch");
    EXPECT_EQ(routingKey(Args{"HSET", "h", "f", "v"}), "h");
    EXPECT_FALSE(routingKey(Args{"PING"}));
    EXPECT_FALSE(routingKey(Args{"PING", "x"}));
}

TEST(RedisTopology, RegistryNamesShareOneSlotOnARedisClusterAndStayAsTheyWereElsewhere) {
    for (const char* name : {"", "eu", "a{b}", "}{", "{}", "x{"}) {
        const Keys keys = keysFor(name, true);
        const std::set<unsigned> slots = {keySlot(keys.nodes()),
                                          keySlot(keys.node("n1")),
                                          keySlot(keys.bases()),
                                          keySlot(keys.seats("lobby")),
                                          keySlot(keys.seats("{other}")),
                                          keySlot(keys.banned()),
                                          keySlot(keys.prefix + "anything")};
        EXPECT_EQ(slots.size(), 1u) << name;
        EXPECT_TRUE(keys.nodes().starts_with(kPrefix)) << name;
        // Channels spread over the slots.
        std::set<unsigned> channels;
        for (const char* room : {"lobby", "lobby#2", "chat", "arena", "duel", "coop"})
            channels.insert(keySlot(keys.roomChannel(room)));
        EXPECT_GT(channels.size(),
                  std::string_view(name).find('{') == std::string_view::npos ? 3u : 0u)
            << name;
        EXPECT_EQ(keys.roomChannel("r"), keysFor(name).roomChannel("r"));
    }
    EXPECT_EQ(keysFor("eu", true).seats("lobby"), "tnlrelay:{registry}:eu:seats:lobby");
    EXPECT_EQ(keysFor("eu").seats("lobby"), "tnlrelay:eu:seats:lobby");
    EXPECT_EQ(keysFor("", true).banned(), "tnlrelay:{registry}:banlist");
}

} // namespace
} // namespace tnlrelay::cluster
