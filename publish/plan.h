// What a client in a given state would do against a site: the engine's own
// update run (modUpdate::startUpdate), with a transfer that serves the site
// folder from disk and a program folder that records what would be written
// instead of writing it. So the answer to "why did my player not get the new
// file?" comes from the client's code, not from a second copy of its rules.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs.h"

namespace velloran::publish {

// Where the client starts.
struct PlayerState {
    // The program folder's info.ini; nullopt for a folder without one (a
    // fresh install). Ignored when `installedFolder` is given.
    std::optional<std::string> localManifest;
    // A real installed folder, read but never written; empty for none.
    std::string installedFolder;
};

struct Fetch {
    std::string name;  // as the client asked the site for it
    int status = 0;
    std::uint64_t bytes = 0;  // body bytes served
};

struct PlanResult {
    // The window texts the client shows and the requests it makes, in
    // order, each "<what>\t<text>": caption, status (the main line), detail
    // (the line below it), request, failure.
    std::vector<std::string> events;
    // Every request but the news and the manifest: the files it fetches.
    std::vector<Fetch> files;
    // The failure the run ends with; empty when it ends normally.
    std::string failure;
    // The main status line at the end ("Updated from Version 1.2!").
    std::string outcome;
};

// Runs the engine once against `siteFolder` (read through `disk`). Throws
// nothing for what the client would fail on: that is the result's failure.
PlanResult planUpdate(FileSystem& disk, const std::string& siteFolder, const PlayerState& state);

}  // namespace velloran::publish
