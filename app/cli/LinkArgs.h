#pragma once
// The link choice of brtx-cli commands: "--wifi ADDRESS" or "--usb [SERIAL]". Shared by every
// command that talks to an instrument (info, set-time, set-id, delete-files, download); the
// link itself is made by CCliDeviceRun (DeviceRun.h) on the device worker.
#include "device/core/DeviceSession.h"

#include <QString>
#include <QStringList>

struct LinkTarget {
    LinkRoute route = LinkRoute::None;
    QString address; // Wi-Fi address as typed
    QString serial;  // adb serial; empty: the first ready device
};

// Takes "--wifi ADDRESS", "--wifi=ADDRESS", "--usb [SERIAL]" or "--usb=SERIAL" out of args
// (the rest stays, in order). The word after a bare --usb is its serial unless it starts with
// "-", or unless the command needs it as one of its `trailing` positional words (set-id's
// DIGITS: "set-id --usb 123456789012" has no serial). Exactly one route must be given;
// otherwise false with a one-line reason in error.
bool TakeLinkArgs(QStringList& args, LinkTarget& target, QString& error);
bool TakeLinkArgs(QStringList& args, LinkTarget& target, QString& error, int trailing);
