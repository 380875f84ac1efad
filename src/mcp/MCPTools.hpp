#pragma once

#include "base/Json.hpp"

#include <optional>
#include <string>

class Service;

// The tools the MCP server offers: one per thing the routes do, each answered by the route
// itself through Service::call, so that permissions, held keys and recordings behave as
// they do over HTTP. Quit is left out: a model has no business ending its own tools, and
// the host ends the process by closing its standard input.
namespace MCPTools {

// The `tools` of a tools/list answer, built once.
const Json& list();

// The result of tools/call: the route's answer as content (and structuredContent where the
// answer is data); a route's error answer is a result with isError and the route's own
// {"error": CODE, "message": TEXT}. Nothing when no tool has that name. `arguments` must be
// an object. Runs on the HTTP work queue, like the route.
std::optional<Json> call(const Service& service, const std::string& name, const Json& arguments);

}
