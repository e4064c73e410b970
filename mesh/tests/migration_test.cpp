#include "subsystems/migration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <thread>
#include <tuple>

#include "record_values.h"
#include "test_clock.h"

namespace vennu {
namespace {

constexpr Instant kLater{1796592600, 0};
constexpr char kLaterText[] = "2026-12-06T21:30:00+00:00";

// Starts the name and walks it to the given stage (0 by rolling back).
void walk_to(MigrationController& controller, std::string_view name, int stage) {
  ASSERT_TRUE(controller.start(name, "sqlite", "redis"));
  if (stage == 0) {
    ASSERT_TRUE(controller.rollback(name));
  }
  for (int s = 1; s < stage; ++s) {
    ASSERT_TRUE(controller.advance(name, 0, 0));
  }
}

class MigrationTest : public ::testing::Test {
 protected:
  std::shared_ptr<TestClock> clock = std::make_shared<TestClock>();
  MigrationController controller{"myapp", clock};
};

TEST_F(MigrationTest, StartCreatesStageOne) {
  const MigrationState state = controller.start("counter.Counts", "sqlite", "redis").value();
  EXPECT_EQ(record(state),
            "{\"variable_name\":\"counter.Counts\",\"source_backend\":\"sqlite\","
            "\"target_backend\":\"redis\",\"stage\":1,\"stage_name\":\"shadow_write\","
            "\"started_at\":\"2026-12-06T21:28:03.123456789+00:00\","
            "\"advanced_at\":\"2026-12-06T21:28:03.123456789+00:00\",\"discrepancy_count\":0,"
            "\"keys_migrated\":0,\"app_name\":\"myapp\"}");
  EXPECT_EQ(record(get(controller, "counter.Counts").value().value()), record(state));
  EXPECT_FALSE(get(controller, "counter.counts").value());
  EXPECT_FALSE(get(controller, "counter.Counts ").value());
}

// Reads copy the text rendered when the migration started; it must be what
// writing the record field by field gives, at every stage and count, for
// names that need escapes or are not ASCII.
TEST_F(MigrationTest, ReadyRecordsMatchRecordsWrittenFieldByField) {
  MigrationController odd{"app \"\xc3\xa9\"\n", clock};
  const std::string name = "var\\\x01\xe2\x82\xac";
  const auto check = [&](const MigrationState& returned) {
    ASSERT_FALSE(returned.ready_text.empty());
    MigrationState by_hand = returned;
    by_hand.ready_text.clear();
    EXPECT_EQ(record(returned), record(by_hand));
    EXPECT_EQ(record(get(odd, name).value().value()), record(by_hand));
    std::string appended = "prefix";
    bool ascii = true;
    ASSERT_TRUE(odd.append_record(name, appended, &ascii).value());
    EXPECT_EQ(appended, "prefix" + record(by_hand));
    EXPECT_FALSE(ascii);
    std::string room(appended.size() - 6, '.');
    std::size_t size = 0;
    EXPECT_EQ(odd.read_record(name, room, &size).value(), RecordRead::kCopied);
    EXPECT_EQ(room.substr(0, size), record(by_hand));
    room.pop_back();
    EXPECT_EQ(odd.read_record(name, room, &size).value(), RecordRead::kLonger);
    EXPECT_EQ(size, room.size() + 1);
    ascii = false;
    ASSERT_TRUE(controller.append_record("plain", appended, &ascii).value());
    EXPECT_TRUE(ascii);
  };
  ASSERT_TRUE(controller.start("plain", "a", "b"));
  check(odd.start(name, "s\"rc", "\xf0\x9f\x98\x80").value());
  check(odd.rollback(name).value());
  for (int stage = 1; stage <= 6; ++stage) {
    clock->set(kLater);
    check(odd.advance(name, std::numeric_limits<std::uint64_t>::max(), 12345).value());
  }
  check(odd.start(name, "again", "").value());
  std::string untouched = "same";
  EXPECT_FALSE(odd.append_record("ghost", untouched).value());
  EXPECT_EQ(untouched, "same");
}

TEST_F(MigrationTest, CallerHashedNamesCompareTheirTexts) {
  MigrationController hashed_by_caller{"app", clock, KeyHashing::kByCaller};
  // Both names on one hash: lookups must compare the texts.
  ASSERT_TRUE(hashed_by_caller.start(HashedKey{"a", 5}, "s", "t"));
  ASSERT_TRUE(hashed_by_caller.start(HashedKey{"b", 5}, "s", "t"));
  EXPECT_EQ(hashed_by_caller.advance(HashedKey{"b", 5}, 0, 0).value().stage, 2);
  EXPECT_EQ(get(hashed_by_caller, HashedKey{"a", 5}).value()->stage, 1);
  EXPECT_FALSE(get(hashed_by_caller, HashedKey{"a", 6}).value());
  EXPECT_THROW((void)get(hashed_by_caller, "a"), std::logic_error);
}

// Every cell of the state machine: the stage a record is at (-1: none) and
// the operation, to the stage reached or the refusal.
TEST_F(MigrationTest, StateMachine) {
  enum Op { kStart, kAdvance, kRollback };
  struct Case {
    int stage;
    Op op;
    int reached;
    const char* error;
  };
  const char* in_progress = "Migration error: Migration for 'v' already in progress at stage ";
  const Case cases[] = {
      {-1, kStart, 1, nullptr},
      {-1, kAdvance, 0, "Migration error: No migration in progress for 'v'"},
      {-1, kRollback, 0, "Migration error: No migration in progress for 'v'"},
      {0, kStart, 0, "0 (idle)"},
      {0, kAdvance, 1, nullptr},
      {0, kRollback, 0,
       "Migration error: Already at initial stage \u2014 cannot roll back further"},
      {1, kStart, 0, "1 (shadow_write)"},
      {1, kAdvance, 2, nullptr},
      {1, kRollback, 0, nullptr},
      {2, kStart, 0, "2 (shadow_read)"},
      {2, kAdvance, 3, nullptr},
      {2, kRollback, 1, nullptr},
      {3, kStart, 0, "3 (dual_read)"},
      {3, kAdvance, 4, nullptr},
      {3, kRollback, 2, nullptr},
      {4, kStart, 0, "4 (new_primary)"},
      {4, kAdvance, 5, nullptr},
      {4, kRollback, 3, nullptr},
      {5, kStart, 0, "5 (cleanup)"},
      {5, kAdvance, 6, nullptr},
      {5, kRollback, 4, nullptr},
      {6, kStart, 1, nullptr},
      {6, kAdvance, 0, "Migration error: Migration for 'v' is already complete"},
      {6, kRollback, 0, "Migration error: Cannot roll back a completed migration"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "stage " << c.stage << " op " << c.op);
    MigrationController fresh("myapp", clock);
    clock->set(kTestInstant);
    if (c.stage >= 0) walk_to(fresh, "v", c.stage);
    const auto existing = get(fresh, "v").value();
    const std::string before = existing ? record(*existing) : "";
    clock->set(kLater);
    MeshResult<MigrationState> result = c.op == kStart     ? fresh.start("v", "a", "b")
                                        : c.op == kAdvance ? fresh.advance("v", 0, 0)
                                                           : fresh.rollback("v");
    if (c.error) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().kind(), ErrorKind::kMigrationError);
      const std::string expected =
          c.op == kStart && c.stage >= 0 ? in_progress + std::string(c.error) : c.error;
      EXPECT_EQ(result.error().message(), expected);
      const auto after = get(fresh, "v").value();
      EXPECT_EQ(after ? record(*after) : "", before) << "a refusal changes nothing";
      continue;
    }
    ASSERT_TRUE(result);
    EXPECT_EQ(result->stage, c.reached);
    EXPECT_EQ(result->stage_name, kStageNames[static_cast<std::size_t>(c.reached)]);
    EXPECT_EQ(result->advanced_at, kLaterText);
    EXPECT_EQ(result->started_at, c.op == kStart ? kLaterText : kTestInstantText);
    EXPECT_EQ(record(get(fresh, "v").value().value()), record(*result));
  }
}

TEST_F(MigrationTest, CountersAddAndWrap) {
  walk_to(controller, "v", 1);
  EXPECT_TRUE(controller.advance("v", 3, 10));
  const MigrationState state = controller.advance("v", 2, 5).value();
  EXPECT_EQ(state.discrepancy_count, 5u);
  EXPECT_EQ(state.keys_migrated, 15u);
  EXPECT_EQ(controller.rollback("v")->keys_migrated, 15u);

  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  walk_to(controller, "w", 1);
  EXPECT_EQ(controller.advance("w", kMax, 0)->discrepancy_count, kMax);
  const MigrationState wrapped = controller.advance("w", 2, kMax).value();
  EXPECT_EQ(wrapped.discrepancy_count, 1u);
  EXPECT_EQ(wrapped.keys_migrated, kMax);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(controller.advance("w", 0, 0));
  EXPECT_FALSE(controller.advance("w", 7, 7));
  EXPECT_EQ(get(controller, "w").value()->keys_migrated, kMax) << "a refused advance adds nothing";
}

TEST_F(MigrationTest, RestartForgetsTheCompleteRecordAndCountsActive) {
  walk_to(controller, "done", 6);
  walk_to(controller, "idle", 0);
  walk_to(controller, "busy", 3);
  EXPECT_EQ(controller.count_active(), 2u);
  EXPECT_EQ(list_all(controller).value().size(), 3u);

  clock->set(kLater);
  const MigrationState again = controller.start("done", "redis", "postgres").value();
  EXPECT_EQ(again.started_at, kLaterText);
  EXPECT_EQ(again.source_backend, "redis");
  EXPECT_EQ(again.keys_migrated, 0u);
  EXPECT_EQ(controller.count_active(), 3u);
  EXPECT_EQ(list_all(controller).value().size(), 3u);
}

// Every record and count the controller shows, in one order.
std::vector<std::string> everything(const MigrationController& controller) {
  std::vector<std::string> out;
  for (const MigrationState& state : list_all(controller).value()) out.push_back(record(state));
  std::sort(out.begin(), out.end());
  out.push_back("active=" + std::to_string(controller.count_active()));
  return out;
}

class MigrationUndoTest : public MigrationTest {
 protected:
  void SetUp() override {
    walk_to(controller, "done", 6);
    walk_to(controller, "idle", 0);
    walk_to(controller, "busy", 2);
    // Stage 3, with counts that wrap when added to.
    ASSERT_TRUE(controller.advance("busy", 5, std::numeric_limits<std::uint64_t>::max()));
    clock->set(kLater);
  }
};

TEST_F(MigrationUndoTest, EachChangeIsPutBackAsItWas) {
  using Change = MeshResult<MigrationState> (*)(MigrationController&, MigrationUndo&);
  const std::tuple<const char*, const char*, Change> changes[] = {
      {"start new", "fresh",
       [](MigrationController& c, MigrationUndo& u) { return c.start("fresh", "a", "b", &u); }},
      {"restart complete", "done",
       [](MigrationController& c, MigrationUndo& u) { return c.start("done", "x", "y", &u); }},
      {"advance", "busy",
       [](MigrationController& c, MigrationUndo& u) { return c.advance("busy", 2, 9, &u); }},
      {"advance from stage 0", "idle",
       [](MigrationController& c, MigrationUndo& u) { return c.advance("idle", 0, 1, &u); }},
      {"rollback", "busy",
       [](MigrationController& c, MigrationUndo& u) { return c.rollback("busy", &u); }},
  };
  for (const auto& [label, name, change] : changes) {
    SCOPED_TRACE(label);
    const std::vector<std::string> before = everything(controller);
    MigrationUndo undo;
    ASSERT_TRUE(change(controller, undo));
    ASSERT_NE(everything(controller), before);
    EXPECT_TRUE(get(controller, name).value());
    EXPECT_TRUE(controller.undo(name, undo));
    EXPECT_EQ(everything(controller), before);
    EXPECT_FALSE(controller.undo(name, undo)) << "undone twice";
    EXPECT_EQ(everything(controller), before);
  }
  EXPECT_FALSE(get(controller, "fresh").value());
  // The controller goes on as if nothing had happened.
  EXPECT_EQ(controller.advance("busy", 1, 1).value().stage, 4);
  EXPECT_EQ(controller.start("fresh", "a", "b").value().stage, 1);
}

TEST_F(MigrationUndoTest, UndoIsRefusedOnceTheRecordsChanged) {
  const std::pair<const char*, void (*)(MigrationController&)> changes[] = {
      {"another started", [](MigrationController& c) { ASSERT_TRUE(c.start("other", "a", "b")); }},
      {"another advanced", [](MigrationController& c) { ASSERT_TRUE(c.advance("idle", 0, 0)); }},
      {"the same advanced", [](MigrationController& c) { ASSERT_TRUE(c.advance("busy", 0, 0)); }},
      {"the same rolled back", [](MigrationController& c) { ASSERT_TRUE(c.rollback("busy")); }},
  };
  for (const auto& [label, change_since] : changes) {
    SCOPED_TRACE(label);
    MigrationController fresh("myapp", clock);
    walk_to(fresh, "idle", 0);
    walk_to(fresh, "busy", 2);
    MigrationUndo undo;
    ASSERT_TRUE(fresh.advance("busy", 0, 0, &undo));
    change_since(fresh);
    const std::vector<std::string> after_both = everything(fresh);
    EXPECT_FALSE(fresh.undo("busy", undo));
    EXPECT_EQ(everything(fresh), after_both);
  }
}

TEST_F(MigrationUndoTest, RefusedChangesAndReadsLeaveTheUndoAsItWas) {
  MigrationUndo undo;
  ASSERT_TRUE(controller.rollback("busy", &undo));
  const std::vector<std::string> rolled_back = everything(controller);
  // None of these changes anything, so the rollback stays the latest change.
  MigrationUndo refused;
  EXPECT_FALSE(controller.start("busy", "a", "b", &refused));
  EXPECT_FALSE(controller.advance("done", 0, 0, &refused));
  EXPECT_FALSE(controller.rollback("idle", &refused));
  EXPECT_FALSE(controller.rollback("ghost", &refused));
  EXPECT_TRUE(get(controller, "busy").value());
  EXPECT_FALSE(controller.undo("busy", refused));
  EXPECT_EQ(everything(controller), rolled_back);
  EXPECT_TRUE(controller.undo("busy", undo));
  EXPECT_EQ(get(controller, "busy").value()->stage, 3);
}

class MigrationPoisonTest : public MigrationTest,
                            public ::testing::WithParamInterface<const char*> {};

TEST_P(MigrationPoisonTest, ClockBeforeEpochPoisonsTheController) {
  walk_to(controller, "v", 2);
  MigrationUndo undo;
  ASSERT_TRUE(controller.advance("v", 0, 0, &undo));
  clock->set(kBeforeEpoch);
  const std::string operation = GetParam();
  if (operation == "start") {
    EXPECT_THROW(controller.start("w", "a", "b"), InternalFault);
  } else if (operation == "advance") {
    EXPECT_THROW(controller.advance("v", 1, 1), InternalFault);
  } else {
    EXPECT_THROW(controller.rollback("v"), InternalFault);
  }
  clock->set(kTestInstant);
  std::string scratch;
  const std::vector<std::optional<MeshError>> errors = {
      controller.start("x", "a", "b").error(),
      controller.advance("v", 0, 0).error(),
      controller.rollback("v").error(),
      get(controller, "v").error(),
      list_all(controller).error(),
      controller.append_records(scratch).error(),
  };
  for (const auto& error : errors) {
    EXPECT_EQ(error->kind(), ErrorKind::kMigrationError);
    EXPECT_EQ(error->message(), "Migration error: lock poisoned");
  }
  EXPECT_EQ(controller.count_active(), 0u);
  EXPECT_EQ(controller.record_count(), 0u);
  EXPECT_FALSE(controller.undo("v", undo));
}

INSTANTIATE_TEST_SUITE_P(Operations, MigrationPoisonTest,
                         ::testing::Values("start", "advance", "rollback"));

TEST_F(MigrationTest, ActiveCountAndArrayMatchTheRecordsAfterRandomChanges) {
  std::uint64_t seed = 987654321;
  auto next = [&seed](std::uint64_t bound) {
    seed = seed * 6364136223846793005u + 1442695040888963407u;
    return (seed >> 33) % bound;
  };
  for (int step = 0; step < 3000; ++step) {
    std::string name = "v";
    name += std::to_string(next(24));
    MigrationUndo undo;
    bool changed = false;
    switch (next(4)) {
      case 0:
        changed = controller.start(name, "sqlite", "r\u00e9dis", &undo).has_value();
        break;
      case 1:
        changed = controller.rollback(name, &undo).has_value();
        break;
      default:
        changed = controller.advance(name, 1, 2, &undo).has_value();
        break;
    }
    if (changed && next(3) == 0) {
      EXPECT_TRUE(controller.undo(name, undo));
    }
    if (step % 50 != 0) continue;
    const std::vector<MigrationState> all = list_all(controller).value();
    const auto recount = std::count_if(all.begin(), all.end(), [](const MigrationState& state) {
      return state.stage < kStageDone;
    });
    EXPECT_EQ(controller.count_active(), static_cast<std::uint64_t>(recount)) << step;
    EXPECT_EQ(controller.record_count(), all.size());
    const std::string expected = array_of(all);
    std::string out = "prefix";
    bool ascii = true;
    ASSERT_TRUE(controller.append_records(out, &ascii));
    EXPECT_EQ(out, "prefix" + expected);
    EXPECT_EQ(ascii, all.empty());
  }
}

TEST(MigrationConcurrency, MixedOperationsFromEightThreads) {
  constexpr int kThreads = 8;
  constexpr int kNamesPerThread = 2000;  // about twelve operations each
  MigrationController controller("app");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&controller, t] {
      for (int i = 0; i < kNamesPerThread; ++i) {
        const std::string name = std::to_string(t) + "." + std::to_string(i);
        ASSERT_TRUE(controller.start(name, "sqlite", "redis"));
        ASSERT_TRUE(controller.advance(name, 1, 10));
        ASSERT_TRUE(controller.advance(name, 1, 10));
        ASSERT_EQ(controller.rollback(name)->stage, 2);
        // Even names finish and are started and finished again; odd names
        // stay at stage 3 and cannot be started again.
        const bool finishes = i % 2 == 0;
        for (int step = finishes ? 4 : 1; step > 0; --step) {
          ASSERT_TRUE(controller.advance(name, 0, 1));
        }
        ASSERT_EQ(controller.start(name, "a", "b").has_value(), finishes);
        for (int step = finishes ? 5 : 0; step > 0; --step) {
          ASSERT_TRUE(controller.advance(name, 0, 1));
        }
        ASSERT_TRUE(get(controller, name).value());
        if (i % 64 == 0) controller.count_active();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(controller.count_active(), 8u * 1000);
  std::uint64_t discrepancies = 0;
  std::uint64_t keys = 0;
  int restarted = 0;
  const std::vector<MigrationState> records = list_all(controller).value();
  for (const MigrationState& state : records) {
    discrepancies += state.discrepancy_count;
    keys += state.keys_migrated;
    restarted += state.source_backend == "a";
  }
  EXPECT_EQ(restarted, 8 * 1000);
  // Odd names hold 2 and 21; restarted even names 0 and 5.
  EXPECT_EQ(discrepancies, 8u * 1000 * 2);
  EXPECT_EQ(keys, 8u * 1000 * (21 + 5));
}

}  // namespace
}  // namespace vennu
