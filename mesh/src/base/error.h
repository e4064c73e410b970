// MeshError: the one error type of the mesh.
//
// Every subsystem operation that can fail returns its result or a MeshError
// (MeshResult<T>). Only the Python facade turns errors into exceptions, by
// kind. A MeshError owns its texts and is cheap to move.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/expected.h"

namespace vennu {

// The order is part of the contract: it is the order of the variants that
// callers switch on.
enum class ErrorKind : std::uint8_t {
  kAgentNotFound,
  kAgentAlreadyRegistered,
  kInvalidPlan,
  kMethodNotFound,
  kStateError,
  kMigrationError,
  kSerializationError,
  kChannelError,
  // A value the caller gave that is none of those accepted; the message is
  // the whole text.
  kInvalidArgument,
};

class MeshError {
 public:
  MeshError() = default;

  static MeshError agent_not_found(std::string agent_type, std::string agent_id);
  static MeshError agent_already_registered(std::string agent_id);
  static MeshError invalid_plan(std::string detail);
  static MeshError method_not_found(std::string method, std::string agent_type);
  static MeshError state_error(std::string detail);
  static MeshError migration_error(std::string detail);
  static MeshError serialization_error(std::string detail);
  static MeshError channel_error(std::string detail);
  static MeshError invalid_argument(std::string message);

  ErrorKind kind() const { return kind_; }

  // The payload texts are inserted verbatim; nothing is quoted or escaped.
  std::string message() const;

 private:
  MeshError(ErrorKind kind, std::string first, std::string second = {})
      : kind_(kind), first_(std::move(first)), second_(std::move(second)) {}

  ErrorKind kind_ = ErrorKind::kStateError;
  std::string first_;
  std::string second_;
};

template <class T>
using MeshResult = Expected<T, MeshError>;

// A broken invariant (for example a clock before 1970). Thrown, never
// returned: it abandons the operation, poisons any lock held exclusively at
// the time, and reaches Python as a panic.
class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace vennu
