// Running out of memory in the middle of any operation: the Nth allocation
// fails (alone, then together with every later one), for N = 1, 2, 3, ...
// until the operation completes without meeting a failure. After each
// failure the operation must have thrown std::bad_alloc, left every record
// and key as it was, and left the subsystem usable; once it completes, its
// result and the contents must be those of the same operation run with
// memory to spare.
//
// The test binary links the failing allocator of mesh/testing.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "json/json.h"
#include "record_values.h"
#include "subsystems/channel.h"
#include "subsystems/migration.h"
#include "subsystems/plan.h"
#include "subsystems/registry.h"
#include "subsystems/state.h"
#include "test_clock.h"
#include "testing/failing_allocator.h"

namespace vennu {
namespace {

// While it lives, the nth allocation of this thread from now on fails, and
// with kFromThenOn every later one too.
class FailingAllocation {
 public:
  FailingAllocation(std::size_t nth, Exhaustion exhaustion) {
    arm_allocation_failure(nth, exhaustion);
  }
  ~FailingAllocation() { take_allocation_failure(); }
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;

  // Whether the failure happened; disarms.
  bool delivered() { return take_allocation_failure(); }
};

// One call of op with allocation nth failing.
template <class Result>
struct Attempt {
  std::optional<Result> result;  // empty when op threw std::bad_alloc
  bool delivered = false;        // whether allocation nth was reached
};

template <class Op>
auto attempt(Op op, std::size_t nth, Exhaustion exhaustion) {
  Attempt<decltype(op())> outcome;
  FailingAllocation failing(nth, exhaustion);
  try {
    outcome.result.emplace(op());
  } catch (const std::bad_alloc&) {
    // Reported as it should be; the caller checks what it left behind.
  }
  outcome.delivered = failing.delivered();
  return outcome;
}

constexpr Exhaustion kExhaustions[] = {Exhaustion::kOnce, Exhaustion::kFromThenOn};

// Failure points met by every sweep of the run, reported at its end.
std::size_t total_operations = 0;
std::size_t total_failure_points = 0;

// Results as text, compared after the allocator is disarmed. Lists are
// sorted: two maps iterate in different orders.
std::string describe(bool value) { return value ? "true" : "false"; }
std::string describe(std::uint64_t value) { return std::to_string(value); }
std::string describe(const std::string& text) { return text; }
std::string describe(const AgentEntry& entry) { return record(entry); }
std::string describe(const MigrationState& state) { return record(state); }
std::string describe(const json::Value& value) { return json::write(value); }
std::string describe(const Plan& plan) { return plan_to_json(plan); }
std::string describe(const json::Error& error) { return "error: " + error.text(); }
std::string describe(const std::optional<json::Error>& error) {
  return error ? describe(*error) : "valid";
}

template <class T>
std::string describe(const std::optional<T>& value);
template <class T>
std::string describe(const std::vector<T>& values);
template <class T, class E>
std::string describe(const Expected<T, E>& result);
std::string describe(const MeshResult<void>& result);

template <class T>
std::string describe(const std::optional<T>& value) {
  return value ? describe(*value) : "none";
}

template <class T>
std::string describe(const std::vector<T>& values) {
  std::vector<std::string> texts;
  for (const T& value : values) texts.push_back(describe(value));
  std::sort(texts.begin(), texts.end());
  std::string out = "[";
  for (const std::string& text : texts) out += text + "\n";
  return out + "]";
}

template <class T, class E>
std::string describe(const Expected<T, E>& result) {
  if (!result) {
    if constexpr (std::is_same_v<E, MeshError>) {
      return "error: " + result.error().message();
    } else {
      return describe(result.error());
    }
  }
  return describe(result.value());
}

std::string describe(const MeshResult<void>& result) {
  return result ? "done" : "error: " + result.error().message();
}

// Everything a subsystem holds, as text; reading it also shows the
// subsystem is not poisoned (poisoned reads fail).
std::vector<std::string> contents(const InMemoryStateStore& store) {
  std::vector<std::string> out{"count " + std::to_string(store.key_count())};
  const auto keys = store.keys_with_prefix("");
  if (!keys) return {"error: " + keys.error().message()};
  for (const std::string& key : keys.value()) {
    std::string value;
    const auto found = store.get(key, &value);
    out.push_back(key + " = " + (found && found.value() ? value : "missing"));
  }
  return out;
}

std::vector<std::string> contents(const AgentRegistry& registry) {
  std::vector<std::string> out{"count " + std::to_string(registry.agent_count())};
  for (const char* status : {"starting", "running", "idle", "stopping", "stopped", "error"}) {
    out.push_back(std::string(status) + " " + std::to_string(registry.count_by_status(status)));
  }
  out.push_back(describe(list(registry, std::nullopt, std::nullopt)));
  return out;
}

std::vector<std::string> contents(const MigrationController& controller) {
  return {"active " + std::to_string(controller.count_active()), describe(list_all(controller))};
}

std::vector<std::string> contents(const MeshChannel& channel) {
  return {"topics " + std::to_string(channel.topic_count())};
}

// Where two contents first differ, cut short: a record may hold 64 KiB.
std::string difference(const std::vector<std::string>& actual,
                       const std::vector<std::string>& expected) {
  const std::size_t common = std::min(actual.size(), expected.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (actual[i] == expected[i]) continue;
    std::size_t same = 0;
    while (same < actual[i].size() && same < expected[i].size() &&
           actual[i][same] == expected[i][same]) {
      ++same;
    }
    const std::size_t from = same > 40 ? same - 40 : 0;
    return "item " + std::to_string(i) + " from byte " + std::to_string(from) + ": " +
           actual[i].substr(from, 120) + "\n  instead of " + expected[i].substr(from, 120);
  }
  return std::to_string(actual.size()) + " items instead of " + std::to_string(expected.size());
}

std::string shorten(const std::string& text) {
  return text.size() <= 300 ? text : text.substr(0, 300) + "...";
}

// Runs op on the reference with memory to spare, then on subject (which
// holds the same contents) with the 1st, 2nd, ... allocation failing, in
// each way memory can run out, until op completes without meeting a
// failure.
template <class Subject, class Op>
void sweep(Subject& subject, Subject& reference, Op op, std::string_view label) {
  const std::string expected_result = describe(op(reference));
  const std::vector<std::string> expected_contents = contents(reference);
  ++total_operations;
  for (std::size_t nth = 1;; ++nth) {
    const std::vector<std::string> before = contents(subject);
    for (const Exhaustion exhaustion : kExhaustions) {
      const auto outcome = attempt([&] { return op(subject); }, nth, exhaustion);
      const std::vector<std::string> after = contents(subject);
      if (outcome.result) {
        ASSERT_FALSE(outcome.delivered) << label << ": allocation " << nth << " failed unreported";
        ASSERT_TRUE(after == expected_contents)
            << label << ": " << difference(after, expected_contents);
        const std::string result = describe(*outcome.result);
        ASSERT_TRUE(result == expected_result)
            << label << ": " << shorten(result) << "\n  instead of " << shorten(expected_result);
        return;
      }
      if (exhaustion == Exhaustion::kOnce) ++total_failure_points;
      ASSERT_TRUE(after == before)
          << label << ": allocation " << nth << " failed, " << difference(after, before);
    }
  }
}

// For operations without state: a failure may also be absorbed (a sort that
// falls back to working in place), as long as the result is unchanged.
template <class Op>
void sweep_pure(Op op, std::string_view label) {
  const std::string expected = describe(op());
  ++total_operations;
  for (std::size_t nth = 1;; ++nth) {
    for (const Exhaustion exhaustion : kExhaustions) {
      const auto outcome = attempt(op, nth, exhaustion);
      if (outcome.result) {
        EXPECT_EQ(describe(*outcome.result), expected) << label << ": allocation " << nth;
      }
      if (!outcome.delivered) {
        ASSERT_TRUE(outcome.result) << label;
        return;
      }
      if (exhaustion == Exhaustion::kOnce) ++total_failure_points;
    }
  }
}

class SweepReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (total_operations == 0) return;
    std::printf(
        "allocation failure sweep: %zu operations, %zu failure points, each failed once and "
        "from then on\n",
        total_operations, total_failure_points);
  }
};
[[maybe_unused]] const auto* const kSweepReport =
    ::testing::AddGlobalTestEnvironment(new SweepReport);

const std::string kLongText(1 << 16, 'x');

void fill_store(InMemoryStateStore& store) {
  ASSERT_TRUE(store.set("alpha", "1"));
  ASSERT_TRUE(store.set("alpha.beta", "{\"a\":[1,2,3]}"));
  ASSERT_TRUE(store.set("gamma", "\"some text\""));
}

TEST(AllocationFailure, StateStoreOperations) {
  InMemoryStateStore subject;
  InMemoryStateStore reference;
  fill_store(subject);
  fill_store(reference);
  using Store = InMemoryStateStore;
  std::string out;
  sweep(
      subject, reference, [](Store& s) { return s.set("delta", "[true]"); }, "set new");
  sweep(
      subject, reference, [](Store& s) { return s.set("alpha", "2"); }, "set in place");
  sweep(
      subject, reference, [](Store& s) { return s.set("alpha", std::string(300, '7')); },
      "set larger");
  sweep(
      subject, reference, [](Store& s) { return s.set(kLongText, "0"); }, "set long key");
  sweep(
      subject, reference, [](Store& s) { return s.set("long", kLongText); }, "set long value");
  sweep(
      subject, reference, [&](Store& s) { return s.get("alpha", &out); }, "get hit");
  sweep(
      subject, reference, [&](Store& s) { return s.get("nothing", &out); }, "get miss");
  sweep(
      subject, reference, [](Store& s) { return s.exists("gamma"); }, "exists");
  sweep(
      subject, reference, [](Store& s) { return s.keys_with_prefix("alpha"); }, "prefix");
  sweep(
      subject, reference, [](Store& s) { return s.keys_with_prefix(""); }, "all keys");
  sweep(
      subject, reference, [](Store& s) { return s.erase("gamma"); }, "erase");
  sweep(
      subject, reference, [](Store& s) { return s.erase("nothing"); }, "erase missing");
  sweep(
      subject, reference, [](Store& s) { return s.erase(kLongText); }, "erase long key");
}

// The table doubles when it passes three quarters full, from 16 slots: 200
// inserts cross five of its growth steps.
TEST(AllocationFailure, StateStoreGrowth) {
  InMemoryStateStore subject;
  InMemoryStateStore reference;
  for (int i = 0; i < 200; ++i) {
    const std::string key = "key." + std::to_string(i);
    sweep(
        subject, reference, [&](InMemoryStateStore& s) { return s.set(key, "[1]"); }, key);
    if (HasFatalFailure()) return;
  }
}

void fill_registry(AgentRegistry& registry) {
  ASSERT_TRUE(register_agent(registry, "CustomerAccountAgent", "customer-0001-eu-west", 1,
                             "{\"region\":\"eu-west\",\"tier\":\"gold\"}"));
  ASSERT_TRUE(register_agent(registry, "CustomerAccountAgent", "customer-0002-eu-west", 2, ""));
  ASSERT_TRUE(
      register_agent(registry, "InventoryLedgerAgent", "inventory-0001-eu-west", 0, "[1,2]"));
  ASSERT_TRUE(registry.update_status("customer-0002-eu-west", AgentStatus::kRunning));
}

TEST(AllocationFailure, RegistryOperations) {
  const auto clock = std::make_shared<TestClock>();
  AgentRegistry subject(clock);
  AgentRegistry reference(clock);
  fill_registry(subject);
  fill_registry(reference);
  using Registry = AgentRegistry;
  sweep(
      subject, reference,
      [](Registry& r) {
        return register_agent(r, "InventoryLedgerAgent", "inventory-0002-eu-west", 7,
                              "{\"a\":null}");
      },
      "register");
  sweep(
      subject, reference,
      [](Registry& r) { return register_agent(r, "Clerk", "clerk-0001-eu-west", 0, ""); },
      "register without metadata");
  sweep(
      subject, reference,
      [](Registry& r) {
        return register_agent(r, "CustomerAccountAgent", "customer-0001-eu-west", 0, "");
      },
      "register taken id");
  sweep(
      subject, reference, [](Registry& r) { return register_agent(r, "Big", kLongText, 0, ""); },
      "register long id");
  sweep(
      subject, reference,
      [](Registry& r) {
        return register_agent(r, "Big", "big-metadata-agent-0002", 0, "\"" + kLongText + "\"");
      },
      "register long metadata");
  sweep(
      subject, reference,
      [](Registry& r) { return r.update_status("customer-0001-eu-west", AgentStatus::kIdle); },
      "update status");
  sweep(
      subject, reference,
      [](Registry& r) { return r.update_status("customer-0002-eu-west", AgentStatus::kStopping); },
      "update status to a longer text");
  sweep(
      subject, reference, [](Registry& r) { return r.update_status("nobody", AgentStatus::kIdle); },
      "update unknown");
  sweep(
      subject, reference, [](Registry& r) { return get(r, "customer-0001-eu-west"); }, "get");
  sweep(
      subject, reference, [](Registry& r) { return get(r, kLongText); }, "get long id");
  sweep(
      subject, reference, [](Registry& r) { return get(r, "nobody"); }, "get unknown");
  sweep(
      subject, reference,
      [](Registry& r) {
        const AgentStatus refused[] = {AgentStatus::kStopped};
        return r.update_status_unless("customer-0002-eu-west", AgentStatus::kRunning, refused);
      },
      "update status unless refused");
  sweep(
      subject, reference,
      [](Registry& r) -> MeshResult<std::string> {
        std::string out;
        auto registered = r.register_agent_into("Clerk", "clerk-0002-eu-west", 3, "[1]", out);
        if (!registered) return unexpected(registered.error());
        return out;
      },
      "register into a text");
  sweep(
      subject, reference, [](Registry& r) { return list(r, std::nullopt, std::nullopt); },
      "list all");
  sweep(
      subject, reference, [](Registry& r) { return list(r, "CustomerAccountAgent", "running"); },
      "list filtered");
  sweep(
      subject, reference, [](Registry& r) { return r.deregister("inventory-0001-eu-west"); },
      "deregister");
  sweep(
      subject, reference, [](Registry& r) { return r.deregister(kLongText); }, "deregister long");
  sweep(
      subject, reference, [](Registry& r) { return r.deregister("nobody"); }, "deregister unknown");
}

TEST(AllocationFailure, RegistryGrowth) {
  const auto clock = std::make_shared<TestClock>();
  AgentRegistry subject(clock);
  AgentRegistry reference(clock);
  for (std::uint32_t i = 0; i < 100; ++i) {
    const std::string id = "worker-agent-eu-west-" + std::to_string(i);
    sweep(
        subject, reference,
        [&](AgentRegistry& r) { return register_agent(r, "Worker", id, i, "{}"); }, id);
    if (HasFatalFailure()) return;
  }
}

void fill_migrations(MigrationController& controller) {
  ASSERT_TRUE(controller.start("inventory.Stock.Active", "sqlite:///var/lib/shop.db",
                               "redis://cache:6379/0"));
  ASSERT_TRUE(controller.start("inventory.Stock.Initial", "sqlite:///var/lib/shop.db",
                               "redis://cache:6379/0"));
  ASSERT_TRUE(controller.rollback("inventory.Stock.Initial"));
  ASSERT_TRUE(controller.start("inventory.Stock.Done", "sqlite:///var/lib/shop.db",
                               "redis://cache:6379/0"));
  for (int stage = 1; stage < 6; ++stage) {
    ASSERT_TRUE(controller.advance("inventory.Stock.Done", 1, 10));
  }
  ASSERT_TRUE(controller.start(kLongText, "sqlite:///var/lib/shop.db", "redis://cache:6379/0"));
}

TEST(AllocationFailure, MigrationOperations) {
  const auto clock = std::make_shared<TestClock>();
  MigrationController subject("shop", clock);
  MigrationController reference("shop", clock);
  fill_migrations(subject);
  fill_migrations(reference);
  using Controller = MigrationController;
  sweep(
      subject, reference, [](Controller& c) { return c.start("inventory.Stock.New", "a", "b"); },
      "start new");
  sweep(
      subject, reference,
      [](Controller& c) {
        return c.start("inventory.Stock.Done", "postgresql://primary/inventory",
                       "redis://cache/inventory");
      },
      "restart complete");
  sweep(
      subject, reference, [](Controller& c) { return c.start("inventory.Stock.Active", "a", "b"); },
      "start in progress");
  sweep(
      subject, reference, [](Controller& c) { return c.start("x" + kLongText, "a", "b"); },
      "start long name");
  sweep(
      subject, reference, [](Controller& c) { return c.advance("inventory.Stock.Active", 3, 40); },
      "advance");
  sweep(
      subject, reference, [](Controller& c) { return c.advance(kLongText, 0, 1); },
      "advance long name");
  sweep(
      subject, reference, [](Controller& c) { return c.advance("inventory.Stock.Nothing", 0, 0); },
      "advance unknown");
  sweep(
      subject, reference, [](Controller& c) { return c.rollback("inventory.Stock.Active"); },
      "rollback");
  sweep(
      subject, reference, [](Controller& c) { return c.rollback("inventory.Stock.Initial"); },
      "rollback at stage 0");
  sweep(
      subject, reference, [](Controller& c) { return get(c, kLongText); }, "get");
  sweep(
      subject, reference, [](Controller& c) { return list_all(c); }, "list all");
  for (int stage = 1; stage < 6; ++stage) {
    sweep(
        subject, reference, [](Controller& c) { return c.advance("inventory.Stock.Done", 0, 0); },
        "advance to done");
  }
  sweep(
      subject, reference, [](Controller& c) { return c.advance("inventory.Stock.Done", 0, 0); },
      "advance complete");
  sweep(
      subject, reference, [](Controller& c) { return c.rollback("inventory.Stock.Done"); },
      "rollback complete");
}

TEST(AllocationFailure, MigrationGrowth) {
  const auto clock = std::make_shared<TestClock>();
  MigrationController subject("shop", clock);
  MigrationController reference("shop", clock);
  for (int i = 0; i < 100; ++i) {
    const std::string name = "inventory.Variable." + std::to_string(i);
    sweep(
        subject, reference,
        [&](MigrationController& c) {
          return c.start(name, "sqlite:///var/lib/shop.db", "redis://cache:6379/0");
        },
        name);
    if (HasFatalFailure()) return;
  }
}

// Taking a change back is what a caller does when memory has run out, so it
// must work with every allocation refused: it asks for none.
TEST(AllocationFailure, UndoingAChangeAllocatesNothing) {
  const auto clock = std::make_shared<TestClock>();
  AgentRegistry registry(clock);
  AgentRegistry registry_reference(clock);
  fill_registry(registry);
  fill_registry(registry_reference);
  for (const std::string& id : {std::string("clerk-0001-eu-west"), kLongText}) {
    std::uint64_t change = 0;
    ASSERT_TRUE(register_agent(registry, "Clerk", id, 0, "{\"desk\":4}", &change));
    bool undone = false;
    bool allocated = false;
    {
      FailingAllocation failing(1, Exhaustion::kFromThenOn);
      undone = registry.undo_register(id, change);
      allocated = failing.delivered();
    }
    EXPECT_TRUE(undone);
    EXPECT_FALSE(allocated);
  }
  EXPECT_EQ(contents(registry), contents(registry_reference));

  MigrationController migrations("shop", clock);
  MigrationController migrations_reference("shop", clock);
  fill_migrations(migrations);
  fill_migrations(migrations_reference);
  using Change = MeshResult<MigrationState> (*)(MigrationController&, MigrationUndo&);
  const std::pair<std::string, Change> changes[] = {
      {"inventory.Stock.New",
       [](MigrationController& c, MigrationUndo& u) {
         return c.start("inventory.Stock.New", "a", "b", &u);
       }},
      {"inventory.Stock.Done",
       [](MigrationController& c, MigrationUndo& u) {
         return c.start("inventory.Stock.Done", "postgresql://primary", kLongText, &u);
       }},
      {kLongText,
       [](MigrationController& c, MigrationUndo& u) { return c.advance(kLongText, 1, 2, &u); }},
      {"inventory.Stock.Active",
       [](MigrationController& c, MigrationUndo& u) {
         return c.rollback("inventory.Stock.Active", &u);
       }},
  };
  for (const auto& [name, change] : changes) {
    SCOPED_TRACE(shorten(name));
    MigrationUndo undo;
    ASSERT_TRUE(change(migrations, undo));
    bool undone = false;
    bool allocated = false;
    {
      FailingAllocation failing(1, Exhaustion::kFromThenOn);
      undone = migrations.undo(name, undo);
      allocated = failing.delivered();
    }
    EXPECT_TRUE(undone);
    EXPECT_FALSE(allocated);
  }
  EXPECT_EQ(contents(migrations), contents(migrations_reference));
}

TEST(AllocationFailure, ChannelOperations) {
  const auto clock = std::make_shared<TestClock>();
  MeshChannel subject(clock);
  MeshChannel reference(clock);
  for (MeshChannel* channel : {&subject, &reference}) {
    ASSERT_TRUE(channel->publish("orders.created.eu-west", "{}"));
    ASSERT_TRUE(channel->publish("stock.changed.eu-west", "[1]"));
  }
  using Channel = MeshChannel;
  sweep(
      subject, reference, [](Channel& c) { return c.publish("orders.created.eu-west", "1"); },
      "existing");
  sweep(
      subject, reference, [](Channel& c) { return c.publish("events.audit.eu-west", "{}"); },
      "new topic");
  sweep(
      subject, reference, [](Channel& c) { return c.publish(kLongText, "0"); }, "long topic");
  sweep(
      subject, reference,
      [](Channel& c) { return c.publish("stock.changed.eu-west", "\"" + kLongText + "\""); },
      "long payload");
  for (int i = 0; i < 100; ++i) {
    const std::string topic = "topic.eu-west.number." + std::to_string(i);
    sweep(
        subject, reference, [&](Channel& c) { return c.publish(topic, "null"); }, topic);
    if (HasFatalFailure()) return;
  }
}

constexpr std::string_view kDocument =
    R"({"zeta":[1,-2,3.5e10,true,null],"alpha":{"b":"t\u00e9xt\n","a":[]},)"
    R"("mid":{"y":1,"x":2,"w":3,"v":4,"u":5,"y":6},"deep":[[[[{"k":"v"}]]]]})";

TEST(AllocationFailure, JsonAndPlanReaders) {
  sweep_pure([] { return json::parse(kDocument); }, "parse");
  sweep_pure([] { return json::canonicalize(kDocument); }, "canonicalize");
  sweep_pure([] { return json::validate(kDocument); }, "validate");
  sweep_pure([] { return json::parse(R"({"a":[1,2,}")"); }, "parse refused");
  sweep_pure([] { return json::canonicalize(R"({"a":"\ud800"})"); }, "canonicalize refused");
  sweep_pure(
      [] {
        const auto value = json::parse(kDocument);
        return value ? json::write(value.value()) : std::string();
      },
      "write");
  sweep_pure(
      [] {
        return plan_from_json(
            R"({"app_name":"shop","backends":{"main":{"backend_type":"sqlite",)"
            R"("config":{"path":"a.db"}}},"functions":["f"],"agents":["A","B"]})");
      },
      "plan");
  sweep_pure([] { return plan_from_json(R"({"app_name":5})"); }, "plan refused");
}

}  // namespace
}  // namespace vennu
