// How the desktop hosts the tray icon. Most Linux desktops draw tray icons themselves from
// what applications export on the session bus (StatusNotifierItem) and draw the menu from
// its export over D-Bus, where widgets cannot go; the others embed the icon's window
// (XEmbed), and macOS has its status bar. Wayland sessions neither tell an application
// where the pointer is nor let it place a popup of its own.
#pragma once

// Whether a StatusNotifierWatcher with a registered host is on the session bus: the test
// Qt makes, once, when the first tray icon is created, to export it that way. Always false
// on macOS.
bool trayHostedOverDBus();

// Whether the platform reports the pointer's position on the screen (not under Wayland).
bool platformKnowsPointer();
