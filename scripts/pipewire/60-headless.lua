-- WirePlumber without D-Bus or hardware. Sorted after the shipped *-config.lua files and before
-- 90-enable-all.lua, which reads these settings.
default_access.properties["enable-flatpak-portal"] = false
alsa_monitor.properties["alsa.reserve"] = false
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
