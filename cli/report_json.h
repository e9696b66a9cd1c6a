// JSON Lines on standard output, for the line software that reads the
// results. Each object is written once, whole, on one line.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/printer.h"
#include "cli/reporter.h"

// One JSON value on one line; bytes that are not UTF-8 are replaced, so a
// name from a device or a file system cannot cost the run. Control
// characters, C1 and the direction controls included, are \u escapes, so
// the line is safe on a terminal too; the strings are escaped this once.
std::string JsonText(const nlohmann::ordered_json& value);

std::unique_ptr<Reporter> MakeJsonReporter();
std::unique_ptr<Printer> MakeJsonPrinter();
