// What the removal animation of a download needs of the list that shows it.
#pragma once

class ZRDownload;

// Main thread. Implemented by the download list of the window; it outlives the animations it runs.
class ZRDownloadVanishView {
public:
    virtual ~ZRDownloadVanishView() = default;

    // Runs one step of the row's shrinking (the list animates row heights itself) and then calls the
    // download's performVanishStep() again when it is ready for the next one.
    virtual void performVanishStepForDownload(ZRDownload *download) = 0;
};
