-- Watches MAME's X68000 boot a data disk and logs to $PROBELOG: the boot sector's copy at
-- $2000, the text the IOCS drew (read from text VRAM plane 0, where with make_boot_disk's
-- stand-in CG ROM the first raster of each 8x16 cell is the character's code), the cursor in
-- the IOCS work area ($974 column, $976 row), then, after a key, where the CPU is found over a
-- second and whether the message is still there. Stops the machine when done.
local out = io.open(assert(os.getenv("PROBELOG"), "set PROBELOG to the log file"), "w")
local cpu = manager.machine.devices[":maincpu"]
local space = cpu.spaces["program"]

local function row_text(row)
  local s = {}
  for col = 0, 95 do
    local c = space:read_u8(0xE00000 + row * 16 * 128 + col)
    s[#s + 1] = (c >= 32 and c < 127) and string.char(c) or " "
  end
  return (table.concat(s):gsub("%s+$", ""))
end
local function screen_has(words)
  for row = 0, 31 do
    if row_text(row):find(words, 1, true) then return true end
  end
  return false
end
-- The whole message is on the screen: its last line, and the cursor at the start of the next.
local function message_done()
  return space:read_u16(0x974) == 0 and screen_has("switch the X68000 off and on).")
end
local function log(what)
  out:write(string.format("%.3f %s PC=%06X cursor=%d,%d\n", manager.machine.time:as_double(), what,
    cpu.state["PC"].value, space:read_u16(0x974), space:read_u16(0x976)))
  out:flush()
end

local stage = "boot"
local since = 0
local samples, pcs = 0, {}
emu.register_periodic(function()
  local t = manager.machine.time:as_double()
  if stage == "boot" and message_done() then
    log("printed")
    local b = {}
    for i = 0, 9 do b[#b + 1] = string.format("%02X", space:read_u8(0x2000 + i)) end
    out:write("at $2000: " .. table.concat(b, " ") .. "\n")
    for row = 0, 12 do out:write("| " .. row_text(row) .. "\n") end
    stage, since = "printed", t
  elseif stage == "printed" and t > since + 0.5 then
    manager.machine.natkeyboard:post(" ")
    log("key")
    stage, since = "key", t
  elseif stage == "key" then
    samples = samples + 1
    local pc = cpu.state["PC"].value
    pcs[pc] = (pcs[pc] or 0) + 1
    if t > since + 1.0 then
      local list = {}
      for pc, n in pairs(pcs) do list[#list + 1] = string.format("%06X", pc) end
      table.sort(list)
      out:write(string.format("%d samples, PC seen at %s\n", samples, table.concat(list, " ")))
      log(message_done() and "still printed" or "message gone")
      stage = "done"
      out:close()
      manager.machine:exit()
    end
  end
end)
