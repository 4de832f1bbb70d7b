// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/Wiring.h"

#include <cstdlib>
#include <sstream>

namespace qw735::sim {

Pins PinsOf(const Wiring &wiring, bool dtr, bool rts)
{
    const auto driven = [&](const Wiring::Pin &pin) { return (pin.line == Wiring::Line::Dtr ? dtr : rts) != pin.inverted; };
    const bool reset = driven(wiring.reset);
    const bool mode = driven(wiring.mode);
    if (wiring.transistorPair)
        return {reset && !mode, mode && !reset};
    return {reset, mode};
}

namespace {

bool ParsePin(const std::string &text, Wiring::Pin &pin)
{
    const bool inverted = text.starts_with('~');
    const std::string line = inverted ? text.substr(1) : text;
    if (line != "dtr" && line != "rts")
        return false;
    pin = {line == "dtr" ? Wiring::Line::Dtr : Wiring::Line::Rts, inverted};
    return true;
}

bool ParseNumber(const std::string &text, int &value)
{
    char *end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || number < 0 || number > 60'000)
        return false;
    value = static_cast<int>(number);
    return true;
}

}  // namespace

std::optional<Wiring> ParseWiring(const std::string &text, std::string &error)
{
    Wiring wiring;
    bool reset = false, mode = false;
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part, ',');) {
        const auto equals = part.find('=');
        const std::string key = part.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : part.substr(equals + 1);
        bool ok = true;
        if (key == "reset") ok = reset = ParsePin(value, wiring.reset);
        else if (key == "mode") ok = mode = ParsePin(value, wiring.mode);
        else if (part == "direct") wiring.transistorPair = false;
        else if (key == "reset-ms") ok = ParseNumber(value, wiring.resetMs);
        else if (key == "miss") ok = ParseNumber(value, wiring.missEntries);
        else if (key == "sample-us") ok = ParseNumber(value, wiring.sampleUs);
        else ok = false;
        if (!ok) {
            error = "a wiring is reset=LINE,mode=LINE (LINE dtr or rts, ~ before it for an inverted one), with direct, "
                    "reset-ms=N, sample-us=N or miss=N after it; not \"" + part + "\"";
            return std::nullopt;
        }
    }
    if (!reset || !mode || wiring.reset.line == wiring.mode.line) {
        error = "a wiring names the line of reset and of mode, one each: reset=dtr,mode=rts";
        return std::nullopt;
    }
    return wiring;
}

}  // namespace qw735::sim
