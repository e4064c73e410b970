#include "subsystems/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <thread>

#include "base/text_shape.h"
#include "record_values.h"
#include "test_clock.h"

namespace vennu {
namespace {

constexpr Instant kLater{1796592600, 5000000};
constexpr char kLaterText[] = "2026-12-06T21:30:00.005+00:00";
// A timestamp longer than any today's: a signed year past 9999 and nine
// fraction digits.
constexpr Instant kFarFuture{std::int64_t{400000000000}, 999999999};

class RegistryTest : public ::testing::Test {
 protected:
  std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
  AgentRegistry registry{clock};

  AgentEntry add(std::string_view type, std::string_view id, std::string metadata = "") {
    auto entry = register_agent(registry, type, id, 0, std::move(metadata));
    EXPECT_TRUE(entry.has_value()) << id;
    return entry ? *entry : AgentEntry{};
  }

  std::vector<std::string> ids(std::optional<std::string_view> type,
                               std::optional<std::string_view> status) {
    std::vector<std::string> out;
    const std::vector<AgentEntry> entries = list(registry, type, status).value();
    for (const AgentEntry& entry : entries) out.push_back(entry.agent_id);
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST(RegistryStatusText, ParsesExactlyTheSixForms) {
  for (const char* text : {"starting", "running", "idle", "stopping", "stopped", "error"}) {
    const auto status = parse_status(text);
    ASSERT_TRUE(status) << text;
    EXPECT_EQ(status_text(*status), text);
  }
  for (const char* text : {"Running", " idle", "idle ", "", "bogus"}) {
    EXPECT_FALSE(parse_status(text)) << text;
  }
  EXPECT_EQ(unknown_status_message("Running"),
            "Unknown status \"Running\". Valid values: starting, running, idle, stopping, "
            "stopped, error");
  EXPECT_EQ(unknown_status_message("a\"\n"),
            "Unknown status \"a\\\"\\n\". Valid values: starting, running, idle, stopping, "
            "stopped, error");
}

TEST_F(RegistryTest, NewEntryAndItsRecord) {
  const AgentEntry entry = add("Customer", "customer-123");
  EXPECT_EQ(record(entry),
            "{\"agent_id\":\"customer-123\",\"agent_type\":\"Customer\",\"status\":\"starting\","
            "\"instance\":0,\"registered_at\":\"2026-12-06T21:28:03.123456789+00:00\","
            "\"last_active\":\"2026-12-06T21:28:03.123456789+00:00\",\"metadata\":{}}");
  EXPECT_EQ(record(get(registry, "customer-123").value().value()), record(entry));

  auto replica = register_agent(registry, "Customer", "customer-7", 4294967295u, "null");
  EXPECT_EQ(replica->instance, 4294967295u);
  EXPECT_EQ(replica->metadata_json, "null");
  EXPECT_EQ(add("", "", "[1,2]").metadata_json, "[1,2]");
  EXPECT_EQ(registry.agent_count(), 3u);
}

TEST_F(RegistryTest, TimestampFractionFollowsTheClock) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {0, "2026-12-06T21:28:03+00:00"},
      {120000000, "2026-12-06T21:28:03.120+00:00"},
      {123456000, "2026-12-06T21:28:03.123456+00:00"},
      {123456789, "2026-12-06T21:28:03.123456789+00:00"},
  };
  for (const auto& [nanos, text] : cases) {
    clock->set({kTestInstant.seconds, nanos});
    const AgentEntry entry = add("T", std::to_string(nanos));
    EXPECT_EQ(entry.registered_at, text);
    EXPECT_EQ(entry.last_active, text);
  }
}

TEST_F(RegistryTest, DuplicateIdLeavesTheEntryUntouched) {
  add("Customer", "customer-123", "{\"a\":1}");
  ASSERT_TRUE(registry.update_status("customer-123", AgentStatus::kIdle));
  const std::string before = record(get(registry, "customer-123").value().value());
  clock->set(kLater);
  for (const char* type : {"Customer", "Order"}) {
    auto again = register_agent(registry, type, "customer-123", 1, "");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind(), ErrorKind::kAgentAlreadyRegistered);
    EXPECT_EQ(again.error().message(), "Agent 'customer-123' is already registered");
  }
  EXPECT_EQ(record(get(registry, "customer-123").value().value()), before);
  EXPECT_EQ(registry.agent_count(), 1u);
}

TEST_F(RegistryTest, DeregisterAndRegisterAgain) {
  EXPECT_TRUE(registry.deregister("ghost"));
  add("Customer", "c1");
  ASSERT_TRUE(registry.update_status("c1", AgentStatus::kError));
  EXPECT_TRUE(registry.deregister("c1"));
  EXPECT_FALSE(get(registry, "c1").value());
  clock->set(kLater);
  const AgentEntry fresh = add("Order", "c1");
  EXPECT_EQ(fresh.status, AgentStatus::kStarting);
  EXPECT_EQ(fresh.registered_at, kLaterText);
  EXPECT_EQ(get(registry, "c1").value().value().status, AgentStatus::kStarting);
}

TEST_F(RegistryTest, UpdateStatusRenewsLastActive) {
  auto ghost = registry.update_status("ghost", AgentStatus::kIdle);
  ASSERT_FALSE(ghost);
  EXPECT_EQ(ghost.error().kind(), ErrorKind::kAgentNotFound);
  EXPECT_EQ(ghost.error().message(), "Agent '/ghost' not found in registry");

  add("Customer", "c1", "{\"k\":true}");
  clock->set(kLater);
  ASSERT_TRUE(registry.update_status("c1", AgentStatus::kStarting));
  const AgentEntry entry = get(registry, "c1").value().value();
  EXPECT_EQ(entry.status, AgentStatus::kStarting);
  EXPECT_EQ(entry.registered_at, kTestInstantText);
  EXPECT_EQ(entry.last_active, kLaterText);
  EXPECT_EQ(entry.agent_type, "Customer");
  EXPECT_EQ(entry.metadata_json, "{\"k\":true}");

  // A refused status stays, last_active with it; any other is replaced.
  const AgentStatus refused[] = {AgentStatus::kStopped};
  EXPECT_FALSE(registry.update_status_unless("ghost", AgentStatus::kRunning, refused).value());
  ASSERT_TRUE(registry.update_status("c1", AgentStatus::kStopped));
  const std::string stopped = record(get(registry, "c1").value().value());
  clock->set(kTestInstant);
  EXPECT_FALSE(registry.update_status_unless("c1", AgentStatus::kRunning, refused).value());
  EXPECT_EQ(record(get(registry, "c1").value().value()), stopped);
  ASSERT_TRUE(registry.update_status("c1", AgentStatus::kIdle));
  EXPECT_TRUE(registry.update_status_unless("c1", AgentStatus::kRunning, refused).value());
  EXPECT_EQ(get(registry, "c1").value().value().status, AgentStatus::kRunning);
}

// Reads copy the text rendered at registration; it must be what writing the
// record field by field gives, through every status change, for ids and
// types that need escapes or are not ASCII.
TEST_F(RegistryTest, ReadyRecordsMatchRecordsWrittenFieldByField) {
  const std::string ids[] = {"plain", "quote\"back\\slash", "ctl\x01\x1f\n", "\xc3\xa9\xe2\x82\xac",
                             std::string(300, 'x')};
  for (const std::string& id : ids) {
    const bool ascii_type = id.size() % 2 == 0;
    clock->set(kTestInstant);
    add(ascii_type ? "T\"ype" : "T\"ype\xf0\x9f\x98\x80", id, "[1,{\"a\":null}]");
    // The status and last_active texts grow, shrink and change in place.
    const std::pair<AgentStatus, Instant> changes[] = {{AgentStatus::kStarting, kTestInstant},
                                                       {AgentStatus::kRunning, kLater},
                                                       {AgentStatus::kError, kTestInstant},
                                                       {AgentStatus::kIdle, kLater},
                                                       {AgentStatus::kStopping, kFarFuture},
                                                       {AgentStatus::kError, kTestInstant},
                                                       {AgentStatus::kIdle, kLater}};
    for (const auto& [status, instant] : changes) {
      clock->set(instant);
      if (status != AgentStatus::kStarting) {
        ASSERT_TRUE(registry.update_status(id, status));
      }
      const AgentEntry read_back = get(registry, id).value().value();
      EXPECT_EQ(read_back.agent_id, id);
      EXPECT_EQ(read_back.status, status);
      EXPECT_EQ(read_back.last_active, format_timestamp(instant));
      const std::string expected = record(read_back);
      std::string appended = "prefix";
      bool ascii = false;
      ASSERT_TRUE(registry.append_record(id, appended, &ascii).value());
      EXPECT_EQ(appended, "prefix" + expected) << id;
      EXPECT_EQ(ascii, shape_of(appended).width == CharWidth::kAscii) << id;
      // Read into room that fits exactly, and into room a byte short.
      std::string room(expected.size(), '.');
      std::size_t size = 0;
      EXPECT_EQ(registry.read_record(id, room, &size).value(), RecordRead::kCopied);
      EXPECT_EQ(room.substr(0, size), expected) << id;
      room.assign(expected.size() - 1, '.');
      EXPECT_EQ(registry.read_record(id, room, &size).value(), RecordRead::kLonger);
      EXPECT_EQ(size, expected.size());
      EXPECT_EQ(room, std::string(expected.size() - 1, '.'));
    }
  }
  std::string untouched = "same";
  EXPECT_FALSE(registry.append_record("ghost", untouched).value());
  EXPECT_EQ(untouched, "same");
  std::size_t size = 0;
  EXPECT_EQ(registry.read_record("ghost", untouched, &size).value(), RecordRead::kAbsent);
}

TEST(Registry, CallerHashedIdsCompareTheirTexts) {
  AgentRegistry registry(std::make_shared<TestClock>(), KeyHashing::kByCaller);
  for (std::uint64_t i = 0; i < 20; ++i) {
    // Every id on one of two hashes: lookups must compare the texts.
    const std::string id = std::string("a").append(std::to_string(i));
    ASSERT_TRUE(register_agent(registry, "T", HashedKey{id, i % 2}, 0, ""));
  }
  EXPECT_TRUE(registry.update_status(HashedKey{"a7", 1}, AgentStatus::kIdle));
  EXPECT_EQ(get(registry, HashedKey{"a7", 1}).value().value().status, AgentStatus::kIdle);
  EXPECT_FALSE(get(registry, HashedKey{"a7", 0}).value());
  ASSERT_TRUE(registry.deregister(HashedKey{"a8", 0}));
  EXPECT_FALSE(get(registry, HashedKey{"a8", 0}).value());
  EXPECT_EQ(registry.agent_count(), 19u);
  EXPECT_THROW((void)get(registry, "a9"), std::logic_error);
}

TEST_F(RegistryTest, ListFiltersAndCounts) {
  EXPECT_TRUE(list(registry, std::nullopt, std::nullopt).value().empty());
  add("Customer", "c1");
  add("Customer", "c2");
  add("Order", "o1");
  add("", "e1");
  EXPECT_EQ(registry.count_by_status("starting"), 4u);
  ASSERT_TRUE(registry.update_status("c2", AgentStatus::kRunning));
  ASSERT_TRUE(registry.update_status("o1", AgentStatus::kRunning));

  using Ids = std::vector<std::string>;
  EXPECT_EQ(ids(std::nullopt, std::nullopt), (Ids{"c1", "c2", "e1", "o1"}));
  EXPECT_EQ(ids("Customer", std::nullopt), (Ids{"c1", "c2"}));
  EXPECT_EQ(ids("", std::nullopt), (Ids{"e1"}));
  EXPECT_EQ(ids(std::nullopt, "running"), (Ids{"c2", "o1"}));
  EXPECT_EQ(ids("Customer", "running"), (Ids{"c2"}));
  EXPECT_EQ(ids("customer", std::nullopt), Ids{});
  EXPECT_EQ(ids(std::nullopt, "Running"), Ids{});
  EXPECT_EQ(ids(std::nullopt, "bogus"), Ids{});

  const std::pair<const char*, std::uint64_t> counts[] = {
      {"starting", 2}, {"running", 2}, {"idle", 0}, {"Running", 0}, {"bogus", 0}, {"", 0}};
  for (const auto& [status, count] : counts) EXPECT_EQ(registry.count_by_status(status), count);
  EXPECT_EQ(registry.agent_count(), 4u);
  const AgentRegistry::Counts all = registry.counts();
  EXPECT_EQ(all.total, 4u);
  EXPECT_EQ(all.by_status, (std::array<std::uint64_t, 6>{2, 2, 0, 0, 0, 0}));
}

// Every record and count the registry shows, in one order.
std::vector<std::string> everything(const AgentRegistry& registry) {
  std::vector<std::string> out;
  for (const AgentEntry& entry : list(registry, std::nullopt, std::nullopt).value()) {
    out.push_back(record(entry));
  }
  std::sort(out.begin(), out.end());
  for (const char* status : {"starting", "running", "idle", "stopping", "stopped", "error"}) {
    out.push_back(std::string(status) + "=" + std::to_string(registry.count_by_status(status)));
  }
  out.push_back("total=" + std::to_string(registry.agent_count()));
  return out;
}

TEST_F(RegistryTest, UndoRegisterTakesBackTheLatestRegistration) {
  add("Customer", "c1", "{\"a\":1}");
  ASSERT_TRUE(registry.update_status("c1", AgentStatus::kIdle));
  const std::vector<std::string> before = everything(registry);

  clock->set(kLater);
  std::uint64_t change = 0;
  ASSERT_TRUE(register_agent(registry, "Order", "o1", 3, "[1]", &change));
  // Reads and changes that change nothing leave the registration the latest.
  EXPECT_TRUE(get(registry, "o1").value());
  ASSERT_TRUE(registry.deregister("ghost"));
  EXPECT_FALSE(registry.update_status("ghost", AgentStatus::kIdle));
  EXPECT_TRUE(registry.undo_register("o1", change));
  EXPECT_EQ(everything(registry), before);
  EXPECT_FALSE(get(registry, "o1").value());
  EXPECT_FALSE(registry.undo_register("o1", change)) << "undone twice";

  std::uint64_t again = 0;
  ASSERT_TRUE(register_agent(registry, "Order", "o1", 3, "[1]", &again));
  EXPECT_NE(again, change);
  EXPECT_EQ(registry.agent_count(), 2u);
}

TEST_F(RegistryTest, UndoRegisterIsRefusedOnceTheRegistryChanged) {
  const std::pair<const char*, void (*)(AgentRegistry&)> changes[] = {
      {"status of another",
       [](AgentRegistry& r) { ASSERT_TRUE(r.update_status("c1", AgentStatus::kIdle)); }},
      {"status of the new",
       [](AgentRegistry& r) { ASSERT_TRUE(r.update_status("o1", AgentStatus::kIdle)); }},
      {"another registered",
       [](AgentRegistry& r) { ASSERT_TRUE(register_agent(r, "T", "c2", 0, "")); }},
      {"another removed", [](AgentRegistry& r) { ASSERT_TRUE(r.deregister("c1")); }},
      {"the new one registered anew",
       [](AgentRegistry& r) {
         ASSERT_TRUE(r.deregister("o1"));
         ASSERT_TRUE(register_agent(r, "Other", "o1", 9, ""));
       }},
  };
  for (const auto& [label, change_since] : changes) {
    SCOPED_TRACE(label);
    AgentRegistry fresh(clock);
    ASSERT_TRUE(register_agent(fresh, "Customer", "c1", 0, ""));
    std::uint64_t change = 0;
    ASSERT_TRUE(register_agent(fresh, "Order", "o1", 3, "", &change));
    change_since(fresh);
    const std::vector<std::string> after_both = everything(fresh);
    EXPECT_FALSE(fresh.undo_register("o1", change));
    EXPECT_EQ(everything(fresh), after_both);
  }
}

TEST_F(RegistryTest, RefusedRegistrationGivesNoChangeToUndo) {
  std::uint64_t first = 0;
  ASSERT_TRUE(register_agent(registry, "Customer", "c1", 0, "", &first));
  std::uint64_t change = 77;
  EXPECT_FALSE(register_agent(registry, "Customer", "c1", 0, "", &change));
  EXPECT_EQ(change, 77u);
  EXPECT_FALSE(registry.undo_register("c1", change));
  EXPECT_FALSE(registry.undo_register("ghost", first));
  EXPECT_EQ(registry.agent_count(), 1u);
}

class RegistryPoisonTest : public RegistryTest,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(RegistryPoisonTest, ClockBeforeEpochBreaksTheRegistry) {
  std::uint64_t change = 0;
  ASSERT_TRUE(register_agent(registry, "Customer", "c1", 0, "", &change));
  clock->set(kBeforeEpoch);
  const std::string operation = GetParam();
  if (operation == "register") {
    EXPECT_THROW(register_agent(registry, "Customer", "c2", 0, ""), InternalFault);
  } else {
    EXPECT_THROW(registry.update_status("c1", AgentStatus::kIdle), InternalFault);
  }
  clock->set(kTestInstant);
  std::string scratch;
  const std::vector<std::optional<MeshError>> errors = {
      register_agent(registry, "Customer", "c3", 0, "").error(),
      registry.deregister("c1").error(),
      registry.update_status("c1", AgentStatus::kIdle).error(),
      get(registry, "c1").error(),
      registry.update_status_unless("c1", AgentStatus::kIdle, {}).error(),
      list(registry, std::nullopt, std::nullopt).error(),
      registry.append_records(std::nullopt, std::nullopt, scratch).error(),
      registry.register_agent_into("Customer", "c4", 0, "", scratch).error(),
  };
  for (const auto& error : errors) {
    EXPECT_EQ(error->kind(), ErrorKind::kStateError);
    EXPECT_EQ(error->message(), "State error: registry lock poisoned");
  }
  EXPECT_EQ(registry.agent_count(), 0u);
  EXPECT_EQ(registry.count_by_status("starting"), 0u);
  EXPECT_EQ(registry.counts().total + registry.counts().of(AgentStatus::kStarting), 0u);
  EXPECT_FALSE(registry.undo_register("c1", change));
}

INSTANTIATE_TEST_SUITE_P(Operations, RegistryPoisonTest, ::testing::Values("register", "update"));

TEST_F(RegistryTest, CountsAndArraysMatchAListAfterRandomChanges) {
  constexpr AgentStatus kStatuses[] = {AgentStatus::kStarting, AgentStatus::kRunning,
                                       AgentStatus::kIdle,     AgentStatus::kStopping,
                                       AgentStatus::kStopped,  AgentStatus::kError};
  const std::optional<std::string_view> types[] = {std::nullopt, "A", "B\u00e9", "C"};
  std::uint64_t seed = 12345;
  auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return (seed >> 33) % bound;
  };
  for (int step = 0; step < 3000; ++step) {
    std::string id = "a";  // not "a" + ...: GCC 12 then warns falsely of overlapping copies
    id += std::to_string(next(64));
    switch (next(5)) {
      case 0:
        register_agent(registry, *types[1 + next(3)], id, 0, "");
        break;
      case 1: {
        std::string out;
        std::uint64_t change = 0;
        if (registry.register_agent_into(*types[1 + next(3)], id, 0, "{\"k\":\"\u00fc\"}", out,
                                         nullptr, &change) &&
            next(2) == 0) {
          EXPECT_TRUE(registry.undo_register(id, change));
        }
        break;
      }
      case 2:
        ASSERT_TRUE(registry.deregister(id));
        break;
      default:
        registry.update_status(id, kStatuses[next(6)]);
        break;
    }
    if (step % 50 != 0) continue;
    const std::vector<AgentEntry> all = list(registry, std::nullopt, std::nullopt).value();
    for (const AgentStatus status : kStatuses) {
      const auto recount = std::count_if(
          all.begin(), all.end(), [&](const AgentEntry& entry) { return entry.status == status; });
      EXPECT_EQ(registry.count_by_status(status_text(status)), static_cast<std::uint64_t>(recount))
          << status_text(status) << " at step " << step;
    }
    EXPECT_EQ(registry.agent_count(), all.size());
    for (const auto& type : types) {
      for (const std::optional<std::string_view> status :
           {std::optional<std::string_view>(), std::optional<std::string_view>("idle"),
            std::optional<std::string_view>("bogus")}) {
        std::string out = "prefix";
        bool ascii = false;
        ASSERT_TRUE(registry.append_records(type, status, out, &ascii));
        const std::string expected = array_of(list(registry, type, status).value());
        EXPECT_EQ(out, "prefix" + expected);
        EXPECT_EQ(ascii, shape_of(expected).width == CharWidth::kAscii);
      }
    }
  }
}

TEST_F(RegistryTest, RegisterIntoWritesTheRecordItRegisters) {
  std::string out = "x";
  bool ascii = true;
  ASSERT_TRUE(registry.register_agent_into("T\u00e9", "t1", 7, "{\"a\":1}", out, &ascii));
  EXPECT_EQ(out, "x" + record(get(registry, "t1").value().value()));
  EXPECT_FALSE(ascii);
  std::string untouched;
  const auto taken = registry.register_agent_into("T", "t1", 0, "", untouched);
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().kind(), ErrorKind::kAgentAlreadyRegistered);
  EXPECT_EQ(untouched, "");
  EXPECT_EQ(registry.count_by_status("starting"), 1u);
}

TEST(RegistryConcurrency, MixedOperationsFromEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kAgentsPerThread = 4000;  // four or five operations each
  AgentRegistry registry;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&registry, t] {
      for (int i = 0; i < kAgentsPerThread; ++i) {
        const std::string id = std::to_string(t) + ":" + std::to_string(i);
        ASSERT_TRUE(register_agent(registry, "Worker", id, static_cast<std::uint32_t>(i), ""));
        const AgentStatus status = i % 2 ? AgentStatus::kIdle : AgentStatus::kRunning;
        ASSERT_TRUE(registry.update_status(id, status));
        ASSERT_EQ(get(registry, id).value().value().status, status);
        if (i % 64 == 0) registry.count_by_status("idle");
        if (i % 4 == 0) {
          ASSERT_TRUE(registry.deregister(id));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(registry.agent_count(), 8u * 3000);
  EXPECT_EQ(registry.count_by_status("idle"), 8u * 2000);
  EXPECT_EQ(registry.count_by_status("running"), 8u * 1000);
  EXPECT_EQ(list(registry, "Worker", std::nullopt).value().size(), 8u * 3000);
}

}  // namespace
}  // namespace vennu
