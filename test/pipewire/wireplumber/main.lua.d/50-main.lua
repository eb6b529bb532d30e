-- The default sink: the sink of highest priority, or the one named in
-- default.configured.audio.sink.  Nothing is stored between runs.
components = {}
components["default-nodes"] = {
  "libwireplumber-module-default-nodes", type = "module",
  args = { ["use-persistent-storage"] = false },
}
