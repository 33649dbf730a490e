// What the device tree's files share beyond the registry layout (devtree_store.h): drive
// letters in the prefix's dosdevices/ folder, and the folder of per-device lock files.
#pragma once

#include <string>

#include <tesk/win32/devtree.h>
#include <tesk/win32/types.h>

namespace tesk::win32::devtree {

// AddDeviceNode, marking the node as one the USB scan added (and may remove) with the state
// it was found in.
DWORD AddNode(const DeviceNodeInfo& node, const std::string& scan_signature, std::string* error);

// The prefix's dosdevices/ folder, made when missing.
std::string DosDevicesFolder();
// dosdevices/<letter>: for a letter of either case.
std::string LetterLink(char letter);
// Makes dosdevices/<letter>: a link to `folder`; false when the letter is taken.
bool ClaimLetter(char letter, const std::string& folder);
// Removes dosdevices/<letter>: if it still links to `folder`.
void ReleaseLetter(char letter, const std::string& folder);

// The runtime folder's devices/ subfolder, made when missing: one lock file per attachment,
// never removed (removing a lock file that someone is about to lock would split the lock).
std::string LockFolder();

struct Tree;
// The scan of Linux's USB devices as SetupDiGetClassDevsA runs it, leaving the tree as it is
// afterwards in *tree. Quick when the registry lists no device and the scan added none, or
// when nothing changed: the tree is then read once, together with the listing.
LONG ScanAndLoadTree(Tree* tree);

}  // namespace tesk::win32::devtree
