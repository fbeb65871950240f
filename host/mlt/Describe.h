// The files that describe the module's services to MLT and to editors, made
// from one source: the operator libraries' own descriptors (kinds, ranges,
// initial values, entries) and the host catalogue's texts. For each service:
//   mlt-7/fieldfx/<filter|transition>_<name>.yml   MLT metadata (melt -query)
//   kdenlive/effects/fieldfx_<name>.xml            Kdenlive effect (filters)
//   kdenlive/transitions/fieldfx_<name>.xml        Kdenlive composition (transitions)
//   shotcut/qml/filters/fieldfx_<name>/meta.qml    Shotcut filter (filters)
//   shotcut/qml/filters/fieldfx_<name>/ui.qml
// all relative to a share/ directory.
#pragma once

#include <string>
#include <vector>

#include "Services.h"

namespace fieldfx::mlt {

struct DescribedFile {
    std::string path;  // relative to share/
    std::string text;
};

std::string metadataYaml(const LoadedService& service, const std::string& version);
std::string kdenliveXml(const LoadedService& service);
std::string shotcutMeta(const LoadedService& service);
std::string shotcutUi(const LoadedService& service);

// Every file of the service (Shotcut's only for filters).
std::vector<DescribedFile> describeService(const LoadedService& service, const std::string& version);

// Kdenlive's effect category file (kdenliveeffectscategory.rc) with each
// effect's id added to the list of its group, and the group added when the
// file has none of that name. Ids already listed stay where they are, so
// merging twice changes nothing. Throws UserError when `categories` is not
// such a file.
std::string mergeKdenliveCategories(const std::string& categories, const std::vector<ServiceInfo>& services);

}  // namespace fieldfx::mlt
