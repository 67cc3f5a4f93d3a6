// The status folder and everything under it, reached through descriptors
// from the folder above it and never through a link: another program may
// put a link where a folder or a file of ours should be, and whatever the
// link points at is not ours to write or remove. Such a link is a fault
// of its own; the link itself is removed and our folder or file is made
// in its place.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "runtime/fd.h"

class StatusTree {
public:
    // fault: something met on the way ("status folder <path>" or "status
    // file <path>", and its errno), ELOOP for a link in the way. made: a
    // folder (by its path below the top) was made, so whatever was written
    // under it went with the old one.
    StatusTree(std::string top, std::function<void(const std::string&, int)> fault,
               std::function<void(const std::string&)> made);

    // The folder at rel below the top ("" for the top), made where it is
    // missing: its descriptor, or -1 (reported), kept until forget().
    int folder(const std::string& rel);
    // The descriptors of the walk so far go: the next one starts again at
    // the folder above the top, since any folder may have been replaced.
    void forget() { mOpen.clear(); }

    // The file at rel holds text, written whole: true, or false (reported).
    bool write(const std::string& rel, const std::string& text);
    // Whether the file at rel needs writing: missing, or a link in its place.
    bool lacking(const std::string& rel);
    // The link at rel points at target, made or put back.
    void link(const std::string& rel, const std::string& target);
    // Removes the entries right under the top that which() names, and
    // nothing when the top is not a folder of its own.
    void remove(const std::function<bool(const char*)>& which);

    // The path as logged; a folder's ends with its slash.
    std::string path(const std::string& rel) const { return mTop + "/" + rel; }
    std::string folderPath(const std::string& rel) const { return rel.empty() ? path(rel) : path(rel) + "/"; }

private:
    int descend(int at, const std::string& name, const std::string& rel);
    // The folder of the file at rel and the file's name in it.
    int parentOf(const std::string& rel, std::string& name);

    std::string mTop;
    std::function<void(const std::string&, int)> mFault;
    std::function<void(const std::string&)> mMade;
    std::map<std::string, Fd> mOpen;
};
