#include "folder_map.h"

#include "html_text.h"
#include "mail_text.h"

namespace {

const char* const kButtons[] = {"Write", "Search", "Folders", "Export"};
const MapRegion kButtonRegions[] = {MapRegion::kWrite, MapRegion::kSearch, MapRegion::kFolders, MapRegion::kExport};

std::string Number(int value) { return std::to_string(value); }

}  // namespace

MapSpot SpotAt(int x, int y, int messages) {
    MapSpot spot;
    if (x < 0 || x >= kMapWidth || y < 0 || y >= kMapHeight) return spot;
    if (y < kMapToolbarHeight) {
        spot.region = kButtonRegions[x / kMapButtonWidth];
        return spot;
    }
    int row = (y - kMapToolbarHeight) / kMapRowHeight;
    if (row < messages && row < kMapRows) {
        spot.region = MapRegion::kMessage;
        spot.row = row;
    }
    return spot;
}

std::string FolderImage(const std::string& folder, const std::vector<Message>& messages) {
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Number(kMapWidth) + "\" height=\"" +
                      Number(kMapHeight) + "\" viewBox=\"0 0 " + Number(kMapWidth) + " " + Number(kMapHeight) +
                      "\" font-family=\"sans-serif\" font-size=\"13\">\n"
                      "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    for (int i = 0; i < 4; ++i) {
        int x = i * kMapButtonWidth;
        svg += "<rect x=\"" + Number(x + 3) + "\" y=\"4\" width=\"" + Number(kMapButtonWidth - 6) + "\" height=\"" +
               Number(kMapToolbarHeight - 8) + "\" rx=\"5\" fill=\"#24425f\"/><text x=\"" +
               Number(x + kMapButtonWidth / 2) + "\" y=\"25\" fill=\"#ffffff\" text-anchor=\"middle\">" + kButtons[i] +
               "</text>\n";
    }
    int shown = 0;
    for (const Message& m : messages) {
        if (shown == kMapRows) break;
        int top = kMapToolbarHeight + shown * kMapRowHeight;
        svg += "<rect x=\"0\" y=\"" + Number(top) + "\" width=\"" + Number(kMapWidth) + "\" height=\"" +
               Number(kMapRowHeight) + "\" fill=\"" + (shown % 2 ? "#ffffff" : "#eef3f8") + "\"/>";
        svg += "<text x=\"8\" y=\"" + Number(top + 20) + "\" fill=\"#1d232b\">" +
               (m.subject.empty() ? std::string("(no subject)") : HtmlShort(m.subject, 40)) + "</text>";
        svg += "<text x=\"" + Number(kMapWidth - 8) + "\" y=\"" + Number(top + 20) +
               "\" fill=\"#56616d\" text-anchor=\"end\" font-size=\"11\">" + HtmlShort(m.sender, 18) + " " +
               ShortDate(m.saved).substr(5) + "</text>\n";
        ++shown;
    }
    if (shown == 0)
        svg += "<text x=\"" + Number(kMapWidth / 2) + "\" y=\"" + Number(kMapToolbarHeight + 40) +
               "\" fill=\"#56616d\" text-anchor=\"middle\">No messages in " + HtmlShort(folder, 64) + " yet</text>\n";
    svg += "</svg>\n";
    return svg;
}
