-- Wireshark dissector for qxdataclient's two connections: the real-time feed
-- (TCP port 1400) and the historic-data server (TCP port 11000); the ports
-- are preferences of the protocol "QXD".
--
-- A frame is "`", one digit d, the payload's length in d digits, the payload
-- and "~". Feed frames end at their first "~"; historic frames by their
-- length. From the servers, a payload is packed after its first comma (two
-- symbols of "0123456789-+.,E" a byte, 15 for none), except archive chunks
-- and the markers inside a transfer. Each message is shown unpacked, with
-- its kind and, for quote records, its fields by name; malformed frames are
-- marked as expert info.
--
-- Install: copy this file to ~/.local/lib/wireshark/plugins/ (the package
-- puts it in the global plugin folder), or run
--   tshark -X lua_script:qxd.lua -r capture.pcap

local qxd = Proto("qxd", "qxdataclient protocol")

local TRADE = { "symbol", "last", "lastSize", "change", "volume", "ticks" }
local QUOTE = { "symbol", "open", "high", "low", "last", "lastSize", "volume", "openInterest",
                "ask", "askSize", "bid", "bidSize", "change", "previous" }

local f = qxd.fields
f.length = ProtoField.uint32("qxd.length", "Payload length")
f.payload = ProtoField.bytes("qxd.payload", "Payload as sent")
f.message = ProtoField.string("qxd.message", "Message")
f.kind = ProtoField.string("qxd.kind", "Kind")
f.direction = ProtoField.string("qxd.direction", "From")
local named = {}
for _, list in ipairs({ TRADE, QUOTE }) do
    for _, name in ipairs(list) do
        if not named[name] then
            named[name] = ProtoField.string("qxd." .. name, name)
            f[name] = named[name]
        end
    end
end

local malformed = ProtoExpert.new("qxd.malformed", "Malformed frame", expert.group.MALFORMED,
                                  expert.severity.ERROR)
local junk = ProtoExpert.new("qxd.junk", "Bytes outside a frame", expert.group.MALFORMED,
                             expert.severity.WARN)
qxd.experts = { malformed, junk }

qxd.prefs.feed_port = Pref.uint("Feed port", 1400, "The real-time feed server's TCP port")
qxd.prefs.hist_port = Pref.uint("Historic port", 11000, "The historic-data server's TCP port")

local ALPHABET = "0123456789-+.,E"

-- The payload unpacked after its first comma.
local function unpack(s)
    local comma = s:find(",", 1, true)
    if not comma then return s end
    local out = { s:sub(1, comma) }
    for i = comma + 1, #s do
        local b = s:byte(i)
        local hi, lo = math.floor(b / 16), b % 16
        if hi < 15 then out[#out + 1] = ALPHABET:sub(hi + 1, hi + 1) end
        if lo < 15 then out[#out + 1] = ALPHABET:sub(lo + 1, lo + 1) end
    end
    return table.concat(out)
end

local function kind(m)
    local c = m:sub(1, 1)
    if c == "$" then return "trade" end
    if c == "{" then return "complete quote" end
    if c == "}" then return "time" end
    if c == "@" then return "note" end
    if c == "*" then return "transfer chunk" end
    if c == "]" then return "count" end
    if m:sub(1, 2) == "#D" then return "requested quote" end
    if c == "#" then return "control" end
    return "other"
end

local function addFields(tree, m)
    local names, skip
    local k = kind(m)
    if k == "trade" then names, skip = TRADE, 2
    elseif k == "complete quote" then names, skip = QUOTE, 2
    elseif k == "requested quote" then names, skip = QUOTE, 3
    else return end
    local i = 1
    for value in (m:sub(skip) .. ","):gmatch("([^,]*),") do
        if not names[i] then break end
        tree:add(named[names[i]], value)
        i = i + 1
    end
end

-- Raw reception on a historic connection, by TCP stream, as the first pass
-- left it before each frame (later passes read what the first one found).
local tcp_stream = Field.new("tcp.stream")
local rawAt = {}   -- stream -> raw now (first pass)
local rawSeen = {} -- "frame:offset" -> raw before that frame

function qxd.dissector(tvb, pinfo, tree)
    local historic = pinfo.src_port == qxd.prefs.hist_port or pinfo.dst_port == qxd.prefs.hist_port
    local fromServer = pinfo.src_port == qxd.prefs.feed_port or pinfo.src_port == qxd.prefs.hist_port
    local stream = tostring(tcp_stream())
    pinfo.cols.protocol = "QXD"
    local len = tvb:len()
    local at = 0
    local summary = {}
    while at < len do
        if tvb(at, 1):uint() ~= 0x60 then -- bytes up to the next opening mark
            local next = at
            while next < len and tvb(next, 1):uint() ~= 0x60 do next = next + 1 end
            tree:add_proto_expert_info(junk, "Bytes outside a frame"):set_len(next - at)
            at = next
        else
            if len - at < 3 then
                pinfo.desegment_offset = at
                pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                return
            end
            local d = tvb(at + 1, 1):uint() - 0x30
            local stop -- the closing mark's offset
            local size, digitsOk = 0, d >= 1 and d <= 9
            if digitsOk and len - at >= d + 2 then
                local digits = tvb(at + 2, d):string()
                digitsOk = digits:match("^%d+$") ~= nil
                size = tonumber(digits) or 0
            end
            if historic and digitsOk then
                if len - at < d + 3 + size then
                    pinfo.desegment_offset = at
                    pinfo.desegment_len = at + d + 3 + size - len
                    return
                end
                stop = at + d + 2 + size
            else
                stop = nil
                for i = at + 1, len - 1 do
                    if tvb(i, 1):uint() == 0x7e then stop = i break end
                end
                if not stop then
                    pinfo.desegment_offset = at
                    pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
                    return
                end
            end
            local frame = tree:add(qxd, tvb(at, stop - at + 1))
            local good = digitsOk and tvb(stop, 1):uint() == 0x7e and stop - at - 2 - d == size
            if not good then
                frame:add_proto_expert_info(malformed, "Malformed frame")
            else
                frame:add(f.length, tvb(at + 2, d), size)
                local payload = size > 0 and tvb(at + 2 + d, size):raw() or ""
                if size > 0 then frame:add(f.payload, tvb(at + 2 + d, size)) end
                local key = pinfo.number .. ":" .. at
                local raw = false
                if historic and fromServer then
                    if not pinfo.visited then rawSeen[key] = rawAt[stream] or false end
                    raw = rawSeen[key] or false
                end
                local m = raw and payload or (fromServer and unpack(payload) or payload)
                if historic and fromServer and not pinfo.visited and m:sub(1, 2) == "#B" then
                    local c = m:sub(3, 3)
                    if c == "0" or c == "1" then rawAt[stream] = false
                    elseif m:find(",", 1, true) then rawAt[stream] = not rawSeen[key] end
                end
                local shown = kind(m) == "transfer chunk" and m:match("^%*[^,]*,[^,]*,") or m
                frame:add(f.direction, fromServer and "server" or "client")
                frame:add(f.kind, kind(m))
                frame:add(f.message, shown)
                addFields(frame, m)
                frame:append_text(": " .. shown)
                summary[#summary + 1] = shown
            end
            at = stop + 1
        end
    end
    pinfo.cols.info = table.concat(summary, " | ")
end

local function register()
    local tcp = DissectorTable.get("tcp.port")
    tcp:add(qxd.prefs.feed_port, qxd)
    tcp:add(qxd.prefs.hist_port, qxd)
end
register()
