// The Lua scripts the nodes run in Redis: each reads and changes the registry in one step, so
// that two nodes never act on the same stale view.
//
// The scripts touch keys they are not given (node and seat keys found by name), so the registry
// wants one Redis (or one shard); the instance channels are sharded and spread over a cluster.
#pragma once

namespace tnlrelay::cluster::scripts {

/// KEYS: seats of the requested name, seats of its first instance's base, bases.
/// ARGV: node, max, the first instance's number, the requested name, the first instance's base.
/// Returns {1 when the first instance was taken else 0, n, other nodes holding that instance,
/// keys of the wrong type it removed first}. Nothing is written before every key is usable, so
/// a seat is never taken by a placement that then fails.
inline constexpr const char* kPlace = R"(
local node, max, n0 = ARGV[1], tonumber(ARGV[2]), ARGV[3]
local repaired = {}
for i, kind in ipairs({'hash', 'hash', 'set'}) do
  local t = redis.call('TYPE', KEYS[i]).ok
  if t ~= kind and t ~= 'none' then
    redis.call('DEL', KEYS[i])
    repaired[#repaired + 1] = KEYS[i]
  end
end
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
return {first, n, others, repaired}
)";

/// KEYS: the ban hash. ARGV: address, entry. Stores the entry unless the one held is newer, in
/// the order of `supersedes`; returns {the entry held afterwards, 1 when it was written}.
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
if not new then return {old, 0} end
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
  return {ARGV[2], 1}
end
return {old, 0}
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
/// Keys of the wrong type are left to the repairs of the view and the node's own.
inline constexpr const char* kClear = R"(
local gone = 0
if redis.call('TYPE', KEYS[1]).ok ~= 'set' then return 0 end
for _, b in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  local key = ARGV[2] .. 'seats:' .. b
  if redis.call('TYPE', key).ok == 'hash' then
    for _, f in ipairs(redis.call('HKEYS', key)) do
      local p = string.find(f, '\n[^\n]*$')
      if p and string.sub(f, 1, p - 1) == ARGV[1] then
        redis.call('HDEL', key, f)
        gone = gone + 1
      end
    end
  end
  if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[1], b) end
end
return gone
)";

/// KEYS: nodes, bases. ARGV: key prefix, this node. Returns {{node, summary, ...},
/// {base, node, n, count, ...}, {key, ...}} after removing the nodes whose heartbeat expired and
/// their seats. A node counts as alive by its heartbeat key, whether the set of nodes still
/// names it or not. Keys of the wrong type are removed (their owners write them again) and
/// returned last, so that one Redis hand edit cannot blind every node.
inline constexpr const char* kView = R"(
local prefix = ARGV[1]
local alive, infos, seats, repaired = {}, {}, {}, {}
local function usable(key, kind)
  local t = redis.call('TYPE', key).ok
  if t == kind then return true end
  if t ~= 'none' then
    redis.call('DEL', key)
    repaired[#repaired + 1] = key
  end
  return false
end
local function living(nd)
  if alive[nd] == nil then alive[nd] = usable(prefix .. 'node:' .. nd, 'string') end
  return alive[nd]
end
if usable(KEYS[1], 'set') then
  for _, nd in ipairs(redis.call('SMEMBERS', KEYS[1])) do
    local key = prefix .. 'node:' .. nd
    if usable(key, 'string') then
      alive[nd] = true
      infos[#infos + 1] = nd
      infos[#infos + 1] = redis.call('GET', key)
    else
      redis.call('SREM', KEYS[1], nd)
    end
  end
end
alive[ARGV[2]] = true
if usable(KEYS[2], 'set') then
  for _, b in ipairs(redis.call('SMEMBERS', KEYS[2])) do
    local key = prefix .. 'seats:' .. b
    if usable(key, 'hash') then
      local h = redis.call('HGETALL', key)
      for i = 1, #h, 2 do
        local p = string.find(h[i], '\n[^\n]*$')
        local nd = p and string.sub(h[i], 1, p - 1)
        if not nd or not living(nd) then
          redis.call('HDEL', key, h[i])
        else
          seats[#seats + 1] = b
          seats[#seats + 1] = nd
          seats[#seats + 1] = string.sub(h[i], p + 1)
          seats[#seats + 1] = h[i + 1]
        end
      end
    end
    if redis.call('EXISTS', key) == 0 then redis.call('SREM', KEYS[2], b) end
  end
end
return {infos, seats, repaired}
)";

/// What one node holds, written again. KEYS: nodes, bases, the ban hash, the connection id
/// counter, the node's heartbeat key, then the seat hash of each base the node holds.
/// ARGV: node, summary, heartbeat expiry in ms, the last connection id handed out to the node
/// (0: none), then per base: base, number of instances k, then k pairs (n, count).
/// Sets the node's seat counts to those given, and repairs what is missing or of the wrong
/// type. Returns {{what was repaired, ...}, entries in the ban hash}.
inline constexpr const char* kAssert = R"(
local node = ARGV[1]
local repaired = {}
local function note(key, what) repaired[#repaired + 1] = key .. ' (' .. what .. ')' end
local function check(key, kind)
  local t = redis.call('TYPE', key).ok
  if t == kind then return 'ok' end
  if t == 'none' then return 'missing' end
  redis.call('DEL', key)
  note(key, 'wrong type ' .. t .. ', replaced')
  return 'replaced'
end
check(KEYS[1], 'set')
local bases = check(KEYS[2], 'set')
check(KEYS[3], 'hash')
if check(KEYS[5], 'string') == 'missing' then note(KEYS[5], 'missing') end
redis.call('SET', KEYS[5], ARGV[2], 'PX', ARGV[3])
if redis.call('SADD', KEYS[1], node) == 1 then note(KEYS[1], 'lacked ' .. node) end
if ARGV[4] ~= '0' then
  local state = check(KEYS[4], 'string')
  local held = tonumber(redis.call('GET', KEYS[4]) or '0')
  if not held or held < tonumber(ARGV[4]) then
    redis.call('SET', KEYS[4], ARGV[4])
    if state ~= 'replaced' then note(KEYS[4], state == 'missing' and 'missing' or 'behind') end
  end
end
local lacked = 0
local i, k = 5, 6
while i < #ARGV do
  local base, count = ARGV[i], tonumber(ARGV[i + 1])
  local key = KEYS[k]
  local state = check(key, 'hash')
  if state == 'missing' then note(key, 'missing') end
  if redis.call('SADD', KEYS[2], base) == 1 then lacked = lacked + 1 end
  local gap = false
  for j = 1, count do
    local f = node .. '\n' .. ARGV[i + 2 * j]
    if state == 'ok' and not gap and redis.call('HEXISTS', key, f) == 0 then
      gap = true
      note(key, 'lacked seats of ' .. node)
    end
    redis.call('HSET', key, f, ARGV[i + 2 * j + 1])
  end
  i, k = i + 2 + 2 * count, k + 1
end
if lacked > 0 and bases ~= 'replaced' then
  note(KEYS[2], bases == 'missing' and 'missing' or ('lacked ' .. lacked .. ' bases'))
end
return {repaired, redis.call('HLEN', KEYS[3])}
)";

} // namespace tnlrelay::cluster::scripts
