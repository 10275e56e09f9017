// The fidelity figures as text for people and as one line of JSON.
#pragma once

#include <string>

#include "compare.hpp"

std::string fidelityText(const Fidelity& fidelity);
std::string fidelityJson(const Fidelity& fidelity);
