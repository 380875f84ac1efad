#pragma once

// The operating system's version, which chooses the capture path: the screen-capture
// framework from 14.0 on, the older window-server path before. A desktop whose capture
// backend stands behind the framework interface answers true for every version.
class SystemVersion {
public:
    virtual ~SystemVersion() = default;
    // Any thread, never blocks, never throws.
    virtual bool isAtLeast(int major, int minor, int patch) = 0;
};
