#pragma once
// The site's registers served to a SCADA over Modbus TCP while a watch runs, where this build
// has Qt Network (scada_server.h); elsewhere none, and why.

#include <QObject>
#include <memory>
#include <string>

#include "gateway/listen_address.h"

namespace karvello::gateway {

class SiteState;

// Serves `site` (which must outlive it) at `address` for as long as the object returned lives;
// none, with why in `why`, when it cannot listen there.
std::unique_ptr<QObject> ServeScada(const SiteState& site, const ListenAddress& address,
                                    std::string* why);

}  // namespace karvello::gateway
