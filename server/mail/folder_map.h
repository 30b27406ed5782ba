// The folder view of the ImageMap command: an image of a toolbar (Write,
// Search, Folders, Export) above the newest messages of a folder, one row
// each, and the mapping of a click position on it back to the button or the
// message drawn there. The image is SVG, drawn by the server; drawing and
// mapping share the layout below, so a click finds what was drawn.
#ifndef VELMOX_SERVER_FOLDER_MAP_H
#define VELMOX_SERVER_FOLDER_MAP_H

#include <string>
#include <vector>

#include "store.h"

const int kMapWidth = 480;
const int kMapToolbarHeight = 40;
const int kMapButtonWidth = 120;
const int kMapRowHeight = 32;
const int kMapRows = 8;
const int kMapHeight = kMapToolbarHeight + kMapRows * kMapRowHeight;

enum class MapRegion { kNothing, kWrite, kSearch, kFolders, kExport, kMessage };

struct MapSpot {
    MapRegion region = MapRegion::kNothing;
    int row = -1;  // for kMessage: the index of the message in the drawn list
};

// What lies at (x, y) of an image that shows `messages` messages.
MapSpot SpotAt(int x, int y, int messages);

// The SVG document of a folder with its newest messages (at most kMapRows
// are drawn). Every text in it is escaped.
std::string FolderImage(const std::string& folder, const std::vector<Message>& messages);

#endif
