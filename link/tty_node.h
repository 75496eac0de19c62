// What the station can learn about a device node before it takes it as a phone's port: whether
// it is a terminal device at all (a mistyped port naming an image file or /dev/null must never be
// written to), whether it is a pseudo-terminal, and which other process holds it open.
#pragma once

#include <string>

enum TTY_NODE_KIND : int {
    TTY_NODE_NONE = 0,    // missing, or not a terminal device
    TTY_NODE_SERIAL = 1,  // the terminal of a serial or other tty driver
    TTY_NODE_PSEUDO = 2,  // the slave side of a pseudo-terminal
};

// Classifies the node (links followed) without opening it, by the kernel's table of tty drivers;
// for TTY_NODE_NONE, *pstrWhy (when given) says what the node is instead. Aliases such as
// /dev/tty, /dev/console and /dev/ptmx are no phone's port and count as none.
int TTY_NODE_Kind(const std::string& strPath, std::string* pstrWhy = nullptr);

// Another process that holds the same device open, as "name (pid N)"; "" when none is found.
// Only the processes whose descriptors this one may look at are seen.
std::string TTY_NODE_OtherHolder(const std::string& strPath);
