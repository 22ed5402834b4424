#include "Project.hpp"

namespace osterveil {

namespace {

std::string describe(ProjectError::Kind kind, std::int64_t version) {
    switch (kind) {
    case ProjectError::Kind::newerFile:
        return "This project was saved by a newer Osterveil (file version " + std::to_string(version) + ").";
    case ProjectError::Kind::corrupt:
        break;
    }
    return "This file is not a Pellmar Studio project.";
}

} // namespace

ProjectError::ProjectError(Kind kind, std::int64_t version)
    : kind_(kind), fileVersion_(version), description_(describe(kind, version)) {}

} // namespace osterveil
