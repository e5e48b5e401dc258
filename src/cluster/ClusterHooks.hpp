// How the cluster calls back into the relay, without seeing the cluster's link (which the Windows
// build leaves out): plain function pointers and the relay's own pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tnlrelay::cluster {

/// The relay's side. Every function is called on the loop's thread.
struct Hooks {
    void* user = nullptr;
    /// A message from another node for the local members of an instance.
    void (*deliver)(void* user, const std::string& instance, int opcode,
                    std::string_view bytes) = nullptr;
    /// The instance Redis chose for a join, or null: place it on this node alone.
    void (*placed)(void* user, std::uint64_t ticket, const std::string* instance) = nullptr;
    void (*ban)(void* user, const std::string& ip, const std::string& name) = nullptr;
    void (*unban)(void* user, const std::string& ip) = nullptr;
    /// The bans the node holds (config.json): those the cluster has no entry for are offered to
    /// it when the node registers.
    const std::map<std::string, std::string>* (*localBans)(void* user) = nullptr;
    /// Another node asks for a kick: true when this node held the connection and kicked it.
    bool (*kick)(void* user, std::uint32_t connId) = nullptr;
    /// This node's players from the `offset`th, at most `limit`, in the order of their ids, as
    /// a JSON array of the state document's player objects.
    std::string (*players)(void* user, std::size_t offset, std::size_t limit) = nullptr;
    void (*log)(void* user, bool error, const std::string& line) = nullptr;
};

} // namespace tnlrelay::cluster
