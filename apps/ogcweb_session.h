// What every subcommand shares: the common options, loading the engine the
// way a host does, opening a service through the connection record, and
// turning what the engine logged into the one line a failure prints.
#pragma once

#include "ogcweb_options.h"

#include "VmEngine.h"

#include <memory>
#include <string>
#include <vector>

namespace PLX {
class PlxDataSource;
} // namespace PLX

namespace ogcweb {

class ProgressLine;

// The options every subcommand takes, after its own.
const std::vector<OptionDef>& CommonOptions();

class Session {
public:
    // Applies the common options (temporary folder, log, time-out, progress)
    // and loads the engine; Failure when it cannot be loaded.
    explicit Session(const ParsedArgs& args);
    // Deletes the data source, then unloads the engine.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Opens the service at `url` with the options' user, password and kind.
    VMK::VmDataSource& Open(const std::string& url);
    const std::string& Url() const { return m_url; }
    // Opens the service as Open does, but through the engine's
    // data-connectivity bridge (CreatePlxDataSource), which the session owns.
    PLX::PlxDataSource& OpenBridge(const std::string& url);

    // Log entries written since the session started or since the last call.
    std::vector<VMK::VmLogEntry> TakeLogEntries();
    // A failure whose message names the codes of `entries` and the log
    // file; the message is also logged, so the log tells the whole story.
    Failure Fail(const std::string& message, const std::vector<VMK::VmLogEntry>& entries);
    // Ends a progress line still open before anything else is printed.
    void EndProgressLine();

private:
    struct Unload {
        void operator()(void* library) const;
    };

    const ParsedArgs& m_args;
    std::unique_ptr<ProgressLine> m_progress;
    // In this order, so that the source is gone before its code is unloaded.
    std::unique_ptr<void, Unload> m_library;
    std::unique_ptr<VMK::VmDataSource> m_source;
    std::unique_ptr<PLX::PlxDataSource> m_bridge;
    std::string m_url;
};

// The engine leaves answers it could not read where it downloaded them; a
// folder of our own under the temporary folder, made the engine's while
// this lives and removed with what it holds afterwards, keeps them out of
// the user's. `purpose` names it ("ogcweb-featureinfo-XXXXXX").
class DownloadFolder {
public:
    explicit DownloadFolder(const std::string& purpose);
    ~DownloadFolder();
    DownloadFolder(const DownloadFolder&) = delete;
    DownloadFolder& operator=(const DownloadFolder&) = delete;

private:
    std::string m_previous;
    std::string m_dir;
};

// "map", "coverage", "features", ... for a dataset type number.
const char* DatasetTypeWord(int type);
// "EPSG:4326", or "none" for a dataset without a coordinate system.
std::string CrsName(const VMK::VmPrjCoordSys& system);
// The first raster dataset, or the one named `name`; Failure when there is none.
VMK::VmDatasetRaster* FindRasterDataset(Session& session, VMK::VmDataSource& source, const std::string& name);
// The layer names of a raster ("" entries included), in the raster's order.
std::vector<std::string> LayerNames(VMK::VmDatasetRaster& raster);

} // namespace ogcweb
