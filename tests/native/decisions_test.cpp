// Decision tables: lifecycles, HLS decisions, statuses, normalisation, manifest.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "decisions/capabilities.hpp"
#include "decisions/hls.hpp"
#include "decisions/lifecycle.hpp"
#include "decisions/status_derivation.hpp"

using namespace tavolin;

namespace {

std::string message_of(const Failure& f) {
  return f.code == FailureCode::value ? f.message : std::string("<not a value failure>");
}

}  // namespace

TEST(Lifecycle, ServiceEventMajorTableMatchesEveryCell) {
  // Event -> (legal sources, target), as the host's contract lists them.
  const std::map<std::string, std::pair<std::set<std::string>, std::string>> legal = {
      {"start_requested", {{"stopped", "starting", "failed"}, "starting"}},
      {"start_succeeded", {{"starting", "running"}, "running"}},
      {"start_failed", {{"starting"}, "failed"}},
      {"health_degraded", {{"running", "degraded"}, "degraded"}},
      {"health_restored", {{"running", "degraded"}, "running"}},
      {"stop_requested", {{"starting", "running", "degraded", "stopping"}, "stopping"}},
      {"stop_succeeded", {{"stopped", "stopping"}, "stopped"}},
      {"stop_failed", {{"stopping"}, "failed"}},
      {"runtime_failed", {{"starting", "running", "degraded", "stopping", "failed"}, "failed"}},
      {"ownership_lost", {{"starting", "running", "degraded", "stopping", "lost"}, "lost"}},
      {"reconcile_stopped", {{"stopped", "lost"}, "stopped"}},
  };
  int cells = 0;
  for (const char* state :
       {"stopped", "starting", "running", "degraded", "stopping", "failed", "lost"}) {
    for (const auto& [event, rule] : legal) {
      const auto result = lifecycle::transition_service(state, event);
      if (rule.first.contains(state)) {
        ASSERT_TRUE(result) << state << " " << event;
        EXPECT_EQ(*result, rule.second) << state << " " << event;
      } else {
        ASSERT_FALSE(result) << state << " " << event;
        EXPECT_EQ(message_of(result.error()),
                  std::string("invalid service lifecycle transition: ") + state + " --" + event +
                      "-->");
      }
      ++cells;
    }
  }
  EXPECT_EQ(cells, 77);
}

TEST(Lifecycle, OperationEventMajorTableMatchesEveryCell) {
  const std::map<std::string, std::pair<std::set<std::string>, std::string>> legal = {
      {"claim", {{"queued", "claimed"}, "claimed"}},
      {"start", {{"claimed", "running"}, "running"}},
      {"succeed", {{"running", "succeeded"}, "succeeded"}},
      {"fail", {{"queued", "claimed", "running", "retry_wait", "failed"}, "failed"}},
      {"retry_scheduled", {{"queued", "claimed", "running", "retry_wait"}, "retry_wait"}},
      {"retry_ready", {{"queued", "retry_wait"}, "queued"}},
      {"retry_requested", {{"succeeded", "failed"}, "retry_wait"}},
      {"cancel", {{"queued", "claimed", "running", "retry_wait", "cancelled"}, "cancelled"}},
      {"ownership_lost", {{"queued", "claimed", "running", "retry_wait", "lost"}, "lost"}},
      {"integrity_lost",
       {{"queued", "claimed", "running", "retry_wait", "succeeded", "lost"}, "lost"}},
      {"reconcile_retry", {{"lost"}, "retry_wait"}},
      {"reconcile_fail", {{"lost"}, "failed"}},
  };
  for (const char* state : {"queued", "claimed", "running", "retry_wait", "succeeded", "failed",
                            "cancelled", "lost"}) {
    for (const auto& [event, rule] : legal) {
      const auto result = lifecycle::transition_operation(state, event);
      ASSERT_EQ(result.has_value(), rule.first.contains(state)) << state << " " << event;
      if (result) {
        EXPECT_EQ(*result, rule.second);
      }
    }
  }
}

TEST(Lifecycle, StateIsReportedBeforeEventAndTokensAreExact) {
  auto r = lifecycle::transition_operation("bogus", "bogus");
  EXPECT_EQ(message_of(r.error()), "unsupported operation lifecycle state: bogus");
  r = lifecycle::transition_operation("queued", "bogus");
  EXPECT_EQ(message_of(r.error()), "unsupported operation lifecycle event: bogus");
  r = lifecycle::transition_service("running", "");
  EXPECT_EQ(message_of(r.error()), "unsupported service lifecycle event: ");
  for (const char* near_miss : {"Running", " running", "running ", "runnin", "runningg"}) {
    r = lifecycle::transition_service(near_miss, "stop_requested");
    EXPECT_EQ(message_of(r.error()),
              std::string("unsupported service lifecycle state: ") + near_miss);
  }
}

TEST(Hls, ReservationPublicationReconciliationTables) {
  using hls::InFlightStatus;
  for (auto s : {InFlightStatus::queued, InFlightStatus::validated, InFlightStatus::materializing}) {
    for (bool ready : {false, true}) {
      for (bool force : {false, true}) {
        EXPECT_EQ(hls::reservation_action(s, false, ready, force), "already_in_flight");
        EXPECT_EQ(hls::reservation_action(s, true, ready, force), "queue");
      }
    }
    EXPECT_EQ(hls::reconciliation_action(s, true), "fail_and_cleanup");
    EXPECT_EQ(hls::reconciliation_action(s, false), "preserve");
  }
  for (bool stale : {false, true}) {
    EXPECT_EQ(hls::reservation_action(InFlightStatus::none, stale, true, false), "already_ready");
    EXPECT_EQ(hls::reservation_action(InFlightStatus::none, stale, true, true), "queue");
    EXPECT_EQ(hls::reservation_action(InFlightStatus::none, stale, false, false), "queue");
    EXPECT_EQ(hls::reconciliation_action(InFlightStatus::none, stale), "preserve");
  }
  int publications = 0;
  for (auto s : {InFlightStatus::none, InFlightStatus::queued, InFlightStatus::validated,
                 InFlightStatus::materializing}) {
    for (int bits = 0; bits < 8; ++bits) {
      const bool owner = bits & 1, lease = bits & 2, ready = bits & 4;
      std::string_view expected = "reject";
      if (s == InFlightStatus::validated && owner) {
        expected = lease ? "defer" : (ready ? "replace_ready" : "publish_initial");
      }
      EXPECT_EQ(hls::publication_action(s, owner, lease, ready), expected);
      ++publications;
    }
  }
  EXPECT_EQ(publications, 32);
}

TEST(Hls, StatusValidation) {
  EXPECT_TRUE(hls::validate_in_flight_status(""));
  for (const char* bad : {"VALIDATED", "ready", " queued", "queued\n", "materialising"}) {
    const auto r = hls::derive_reconciliation_action(bad, true);
    ASSERT_FALSE(r);
    EXPECT_EQ(message_of(r.error()), std::string("unsupported HLS in-flight status: ") + bad);
  }
}

TEST(Anonymization, VideoDerivationEqualsFirstMatchWalkForAll128Inputs) {
  for (int bits = 0; bits < 128; ++bits) {
    status_derivation::AnonymizationFacts f{};
    for (std::size_t i = 0; i < status_derivation::kFieldCount; ++i) f[i] = (bits >> i) & 1;
    EXPECT_EQ(status_derivation::derive_video_status(f[0], f[1], f[2], f[3], f[4], f[5], f[6]),
              status_derivation::walk_rules(status_derivation::video_anonymization_rules(), f))
        << bits;
  }
}

TEST(Anonymization, ReportDerivationEqualsFirstMatchWalkForAll32Inputs) {
  using F = status_derivation::AnonymizationField;
  for (int bits = 0; bits < 32; ++bits) {
    const bool error = bits & 1, validated = bits & 2, meta = bits & 4, anonymized = bits & 8,
               started = bits & 16;
    status_derivation::AnonymizationFacts f{};
    f[static_cast<int>(F::processing_error)] = error;
    f[static_cast<int>(F::anonymization_validated)] = validated;
    f[static_cast<int>(F::sensitive_meta_processed)] = meta;
    f[static_cast<int>(F::anonymized)] = anonymized;
    f[static_cast<int>(F::processing_started)] = started;
    // The report table never looks at frames_extracted or was_created.
    for (bool noise : {false, true}) {
      f[static_cast<int>(F::frames_extracted)] = noise;
      f[static_cast<int>(F::was_created)] = noise;
      EXPECT_EQ(status_derivation::derive_report_status(error, validated, meta, anonymized, started),
                status_derivation::walk_rules(status_derivation::report_anonymization_rules(), f))
          << bits;
    }
  }
}

TEST(Annotation, FrameStatusCountsPerToken) {
  std::map<std::string_view, int> counts;
  for (int bits = 0; bits < 32; ++bits) {
    ++counts[status_derivation::frame_annotation_status(bits & 1, bits & 2, bits & 4, bits & 8, bits & 16)];
  }
  const std::map<std::string_view, int> expected = {
      {"not_started", 16},     {"frames_unavailable", 8}, {"prediction_pending", 4},
      {"prediction_ready", 2}, {"annotation_ready", 1},   {"annotation_complete", 1}};
  EXPECT_EQ(counts, expected);
}

TEST(Annotation, SegmentStatusTable) {
  EXPECT_EQ(status_derivation::segment_annotation_status(false, false, false), "not_started");
  EXPECT_EQ(status_derivation::segment_annotation_status(false, false, true), "not_started");
  EXPECT_EQ(status_derivation::segment_annotation_status(true, false, false), "cleanup_required");
  EXPECT_EQ(status_derivation::segment_annotation_status(true, false, true), "cleanup_required");
  EXPECT_EQ(status_derivation::segment_annotation_status(false, true, false), "cleanup_required");
  EXPECT_EQ(status_derivation::segment_annotation_status(true, true, false), "cleanup_required");
  EXPECT_EQ(status_derivation::segment_annotation_status(false, true, true), "validated");
  EXPECT_EQ(status_derivation::segment_annotation_status(true, true, true), "validated");
}

TEST(Normalization, TrimsEveryUnicodeWhiteSpaceCharacter) {
  const char* spaces[] = {"\t", "\n", "\v", "\f", "\r", " ", "\u0085", "\u00a0", "\u1680",
                          "\u2000", "\u2005", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f",
                          "\u3000"};
  for (const char* s : spaces) {
    const std::string padded = std::string(s) + "FILTERED" + s;
    EXPECT_EQ(status_derivation::normalize_frame_task_mode(padded), "filtered") << padded;
  }
  // Not White_Space: zero-width space, BOM, U+180E.
  for (const char* s : {"\u200b", "\ufeff", "\u180e"}) {
    EXPECT_EQ(status_derivation::normalize_frame_task_mode(std::string(s) + "filtered"), "random");
  }
}

TEST(Normalization, ExactWordsAfterAsciiLowering) {
  EXPECT_EQ(status_derivation::normalize_frame_task_mode("Filtered"), "filtered");
  EXPECT_EQ(status_derivation::normalize_frame_task_mode("f\u0130ltered"), "random");  // dotted capital I
  for (const char* v : {"filter", "filtered x", "", "random", "FILTERED!"}) {
    EXPECT_EQ(status_derivation::normalize_frame_task_mode(v), "random") << v;
  }
  EXPECT_EQ(status_derivation::normalize_frame_sampling_strategy(" ANNOTATIONS "), "annotations");
  EXPECT_EQ(status_derivation::normalize_frame_sampling_strategy("Segments"), "segments");
  EXPECT_EQ(status_derivation::normalize_frame_sampling_strategy("NONE"), "none");
  for (const char* v : {"segment", "annotation", "sequence", "", "balanced", "no ne"}) {
    EXPECT_EQ(status_derivation::normalize_frame_sampling_strategy(v), "balanced") << v;
  }
}

TEST(Manifest, PolicyRowsAreProfileMajorWithThreeStreamableRows) {
  const auto rows = capabilities::storage_profile_policy_rows();
  ASSERT_EQ(rows.size(), 18u);
  std::vector<std::size_t> streamable;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (std::get<2>(rows[i]) == "fs_streamable") streamable.push_back(i + 1);
  }
  EXPECT_EQ(streamable, (std::vector<std::size_t>{7, 8, 14}));
  EXPECT_EQ(std::get<0>(rows[6]), "fs_encrypted_streaming");
  EXPECT_EQ(std::get<1>(rows[13]), "video_processed");
}
