// File names in JSON. A name need not be UTF-8: then it is also given whole, in base64,
// beside a form of it for reading (bytes it cannot show become U+FFFD).
#pragma once

#include <nlohmann/json.hpp>
#include <string>

typedef nlohmann::json Json;

void PutName(Json& object, const std::string& key, const std::string& name);
// The name PutName put under `key`; false when there is none, or it is broken.
bool GetName(const Json& object, const std::string& key, std::string* name);

// One line of JSON, bytes that are no UTF-8 replaced.
std::string JsonLine(const Json& object);
