#pragma once
// The "/dashboard" page of the control API.

#include <string>

namespace tolbu_sdk::control_server {

// One self-contained HTML page (inline style and script, nothing fetched from elsewhere) that
// polls the JSON routes of the same server and shows the run as it goes.
const std::string& dashboard_page();

}  // namespace tolbu_sdk::control_server
