#pragma once
// The REST side of the sim.

#include "server/routes.hpp"

namespace tolbu_sim {

// The micro API candle path and every REST path the SDK uses.
void install_rest_api(RouteTable& routes);

}  // namespace tolbu_sim
