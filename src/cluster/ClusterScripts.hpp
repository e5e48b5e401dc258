// The Lua scripts the nodes run in Redis: each reads and changes the registry in one step, so
// that two nodes never act on the same stale view.
//
// The scripts touch keys they are not given (node and seat keys found by name), so the registry
// wants one Redis (or one shard); the instance channels are sharded and spread over a cluster.
#pragma once

namespace tnlrelay::cluster::scripts {

/// KEYS: seats of the requested name, seats of its first instance's base, bases.
/// ARGV: node, max, the first instance's number, the requested name, the first instance's base.
/// Returns {1 when the first instance was taken else 0, n, other nodes holding that instance}.
inline constexpr const char* kPlace = R"(
local node, max, n0 = ARGV[1], tonumber(ARGV[2]), ARGV[3]
local function totals(key)
  local t = {}
  local h = redis.call('HGETALL', key)
  for i = 1, #h, 2 do
    local p = string.find(h[i], '\n[^\n]*$')
    local c = tonumber(h[i + 1])
    if p and c then
      local n = string.sub(h[i], p + 1)
      t[n] = (t[n] or 0) + c
    end
  end
  return t
end
local key, base, n, first = KEYS[2], ARGV[5], n0, 1
if (totals(KEYS[2])[n0] or 0) >= max then
  local t = totals(KEYS[1])
  local m = 2
  while (t[tostring(m)] or 0) >= max do m = m + 1 end
  key, base, n, first = KEYS[1], ARGV[4], tostring(m), 0
end
redis.call('HINCRBY', key, node .. '\n' .. n, 1)
redis.call('SADD', KEYS[3], base)
local others = {}
local h = redis.call('HGETALL', key)
for i = 1, #h, 2 do
  local p = string.find(h[i], '\n[^\n]*$')
  if p and string.sub(h[i], p + 1) == n then
    local who = string.sub(h[i], 1, p - 1)
    if who ~= node and (tonumber(h[i + 1]) or 0) > 0 then others[#others + 1] = who end
  end
end
return {first, n, others}
)";

/// KEYS: the ban hash. ARGV: address, entry. Stores the entry unless the one held is newer, in
/// the order of `supersedes`; returns the entry held afterwards.
inline constexpr const char* kStoreBan = R"(
local function parse(v)
  local t, s, n, name = string.match(v, '^(%d+)\n([BU])\n([^\n]*)\n(.*)$')
  if not t then return nil end
  return {tonumber(t), s == 'B' and 1 or 0, n, name}
end
local function less(a, b)
  for i = 1, math.min(#a, #b) do
    local x, y = string.byte(a, i), string.byte(b, i)
    if x ~= y then return x < y end
  end
  return #a < #b
end
local new = parse(ARGV[2])
local old = redis.call('HGET', KEYS[1], ARGV[1])
if not new then return old end
local held = old and parse(old)
local wins = true
if held then
  if new[1] ~= held[1] then wins = new[1] > held[1]
  elseif new[2] ~= held[2] then wins = new[2] > held[2]
  elseif new[3] ~= held[3] then wins = less(held[3], new[3])
  else wins = less(held[4], new[4]) end
end
if wins then
  redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])
  return ARGV[2]
end
return old
)";

/// KEYS: seats of the base, bases. ARGV: node, n, base.
inline constexpr const char* kLeave = R"(
local f = ARGV[1] .. '\n' .. ARGV[2]
local c = redis.call('HINCRBY', KEYS[1], f, -1)
if c <= 0 then redis.call('HDEL', KEYS[1], f) end
if redis.call('EXISTS', KEYS[1]) == 0 then redis.call('SREM', KEYS[2], ARGV[3]) end
return c
)";

/// KEYS: bases. ARGV: node, key prefix. Removes every seat field of the node.
inline constexpr const char* kClear = R"(
local gone = 0
for _, b in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local key = ARGV[2] .. 'seats:' .. b
  for _, f in ipairs(redis.call('HKEYS', key)) do
    local p = string.find(f, '\n[^\n]*$')
    if p and string.sub(f, 1, p - 1) == ARGV[1] then
      redis.call('HDEL', key, f)
      gone = gone + 1
    end
  end
  if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[1], b) end
end
return gone
)";

/// KEYS: nodes, bases. ARGV: key prefix, this node. Returns {{node, summary, ...},
/// {base, node, n, count, ...}} after removing the nodes whose heartbeat expired and their seats.
inline constexpr const char* kView = R"(
local prefix = ARGV[1]
local alive, infos, seats = {}, {}, {}
alive[ARGV[2]] = true
for _, nd in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local info = redis.call('GET', prefix .. 'node:' .. nd)
  if info then
    alive[nd] = true
    infos[#infos + 1] = nd
    infos[#infos + 1] = info
  else
    redis.call('SREM', KEYS[1], nd)
  end
end
for _, b in ipairs(redis.call('SMEMBERS', KEYS[2])) do
  local key = prefix .. 'seats:' .. b
  local h = redis.call('HGETALL', key)
  for i = 1, #h, 2 do
    local p = string.find(h[i], '\n[^\n]*$')
    local nd = p and string.sub(h[i], 1, p - 1)
    if not nd or not alive[nd] then
      redis.call('HDEL', key, h[i])
    else
      seats[#seats + 1] = b
      seats[#seats + 1] = nd
      seats[#seats + 1] = string.sub(h[i], p + 1)
      seats[#seats + 1] = h[i + 1]
    end
  end
  if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[2], b) end
end
return {infos, seats}
)";

} // namespace tnlrelay::cluster::scripts
