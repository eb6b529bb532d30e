-- Streams are linked to their target, or else to the default sink, and
-- follow the default when it changes.
components = {}
local policy = { ["move"] = true, ["follow"] = true,
                 ["filter.forward-format"] = false, ["audio.no-dsp"] = false }
for _, m in ipairs({ "si-node", "si-audio-adapter", "si-standard-link",
                     "si-audio-endpoint", "default-nodes-api" }) do
  components[m] = { "libwireplumber-module-" .. m, type = "module" }
end
for _, s in ipairs({ "create-item.lua", "policy-node.lua" }) do
  components[s] = { s, type = "script/lua", args = policy }
end
