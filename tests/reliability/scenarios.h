// One call of one export against a small known tree, with everything the
// fault tests need to judge a faulted run of it: the messages the export
// may fail with and the soft negatives it may answer. A success that
// differs from the clean run's is always wrong: no reader may answer with
// less than it was asked for.
#pragma once
#include <string>
#include <vector>

#include "rel_util.h"

struct VrOutcome {
  bool text_result = false;  // the export returns a text
  int rc = 0;                // int result
  bool null = false;         // text result was NULL
  std::string text;          // text result, or the outputs of the call
  std::string err;           // last-error text after the call
};

struct VrScenario {
  const char *name;
  const char *export_name;
  // Adjusts the standard tree (already copied to root) before the call.
  void (*prepare)(const std::string &root);
  VrOutcome (*call)(const std::string &root);
  // Regexes (whole match) of the messages a failing result may carry.
  std::vector<std::string> fail;
  // Regexes of the messages an int result of 1 may carry (soft negative
  // answered because a file could not be read or found).
  std::vector<std::string> soft;
  bool init_root;  // vault_storage_init(root) before the call
  // A failing call may leave a tree that is a part of the successful one
  // (only initialisation: directories made before a failure stay).
  bool partial_ok;
};

// Writes the standard tree under root (root must not exist).
void vr_build_standard_tree(const std::string &root);
const std::vector<VrScenario> &vr_scenarios();

// How a faulted run ended.
enum VrVerdict { VR_UNAFFECTED, VR_FAILED_CLEANLY, VR_SOFT, VR_WRONG };
struct VrJudgement {
  VrVerdict verdict;
  std::string why;  // for VR_WRONG
};
// Judges one faulted run against the unfaulted one. errtext: the system
// text of the injected error ("" for allocation failures): a failure that
// quotes a system text must quote this one.
VrJudgement vr_judge(const VrScenario &sc, const VrOutcome &ok, const VtsTree &before_n,
                     const VtsTree &after_ok_n, const VrOutcome &got, const VtsTree &after_n,
                     const std::string &errtext);

// Runs one scenario: copies the standard template to root, initialises,
// prepares, snapshots (normalised) before the call, then calls. The arm
// and disarm hooks run right around the call.
struct VrRun {
  VrOutcome out;
  VtsTree before, after;  // normalised
  int fds_before = 0, fds_after = 0;
};
VrRun vr_run(const VrScenario &sc, const std::string &tmpl, const std::string &root,
             void (*arm)(void *), void (*disarm)(void *), void *ctx);
