#include "drum_catalogue.h"

namespace tambrel::midi {

std::vector<std::string> instrumentItems() {
    std::vector<std::string> items;
    items.reserve(kDrumCatalogue.size() + 1);
    for (const DrumInstrument& instrument : kDrumCatalogue) {
        items.emplace_back(instrument.name);
    }
    items.emplace_back();
    return items;
}

} // namespace tambrel::midi
