#include "base/error.h"

namespace vennu {

MeshError MeshError::agent_not_found(std::string agent_type, std::string agent_id) {
  return MeshError(ErrorKind::kAgentNotFound, std::move(agent_type), std::move(agent_id));
}
MeshError MeshError::agent_already_registered(std::string agent_id) {
  return MeshError(ErrorKind::kAgentAlreadyRegistered, std::move(agent_id));
}
MeshError MeshError::invalid_plan(std::string detail) {
  return MeshError(ErrorKind::kInvalidPlan, std::move(detail));
}
MeshError MeshError::method_not_found(std::string method, std::string agent_type) {
  return MeshError(ErrorKind::kMethodNotFound, std::move(method), std::move(agent_type));
}
MeshError MeshError::state_error(std::string detail) {
  return MeshError(ErrorKind::kStateError, std::move(detail));
}
MeshError MeshError::migration_error(std::string detail) {
  return MeshError(ErrorKind::kMigrationError, std::move(detail));
}
MeshError MeshError::serialization_error(std::string detail) {
  return MeshError(ErrorKind::kSerializationError, std::move(detail));
}
MeshError MeshError::channel_error(std::string detail) {
  return MeshError(ErrorKind::kChannelError, std::move(detail));
}
MeshError MeshError::invalid_argument(std::string message) {
  return MeshError(ErrorKind::kInvalidArgument, std::move(message));
}

std::string MeshError::message() const {
  switch (kind_) {
    case ErrorKind::kAgentNotFound:
      return "Agent '" + first_ + "/" + second_ + "' not found in registry";
    case ErrorKind::kAgentAlreadyRegistered:
      return "Agent '" + first_ + "' is already registered";
    case ErrorKind::kInvalidPlan:
      return "Invalid plan: " + first_;
    case ErrorKind::kMethodNotFound:
      return "Method '" + first_ + "' not found on agent type '" + second_ + "'";
    case ErrorKind::kStateError:
      return "State error: " + first_;
    case ErrorKind::kMigrationError:
      return "Migration error: " + first_;
    case ErrorKind::kSerializationError:
      return "Serialization error: " + first_;
    case ErrorKind::kChannelError:
      return "Channel error: " + first_;
    case ErrorKind::kInvalidArgument:
      return first_;
  }
  return first_;
}

}  // namespace vennu
