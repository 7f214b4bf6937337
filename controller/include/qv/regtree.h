#pragma once
// Whole registry trees over one session: export a key with everything below
// it into a RegFile, and import a RegFile, with the listing and writing
// requests pipelined in batches.
//
// The server writes every value type with its exact bytes. Only a value whose
// name holds LF, which its write request cannot carry, is handed to the
// platform's registry editor in the same prefix ("regedit /S" on a temporary
// file) and read back afterwards to check it arrived; such a value with text
// data of odd length or without its closing NUL, which the editor does not
// store as it is, is refused before anything is sent.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/session.h"

namespace qv {

// Called as work proceeds: done units of total (total may still grow).
using ProgressFn = std::function<void(size_t done, size_t total)>;

struct TreeExport {
    RegFile file;  // the top key first, then every subkey before its own subkeys
    // Keys whose content the platform itself cannot list (its own registry
    // editor exports them empty too), each with the reason: in the file as far
    // as they were listed, and not a failure.
    std::vector<std::string> warnings;
};

// A value of an exported file as a key's listing gives it (text types with
// their text).
RegValue listed_value(const RegFileValue& value);
// And a listed value as a file carries it.
RegFileValue file_value(const RegValue& value);

// Exports a key and everything below it. Fails with kind refused (nothing
// sent) for a top key that cannot be asked for (a root the server cannot
// reach, LF in the path, RegView::both); with the listing's failure when the
// top key cannot be listed (kFileNotFound: no such key); with kind incomplete
// when keys below it are missing or lack entries, the value then holding what
// was exported and the message naming each key.
Result<TreeExport> export_tree(Session& session, std::string_view key, RegView view = RegView::native,
                               const ProgressFn& progress = {});

struct TreeImport {
    size_t keys = 0;            // key blocks written or created
    size_t keys_deleted = 0;    // [-KEY] blocks carried out
    size_t values_set = 0;
    size_t values_deleted = 0;
    size_t via_editor = 0;      // of values_set: written by the platform's editor
    std::vector<std::string> failures;  // one line each: key, value name, what happened
};

// Writes the file's content in file order: plan_import, then run_import.
// Fails with kind refused, sending nothing, for invalid key paths, values the
// wire cannot carry and values that neither the server nor the platform's
// editor would store exactly; with kind incomplete when some entries failed,
// the message naming each (the value holds the counts and the same lines).
Result<TreeImport> import_tree(Session& session, const RegFile& file, RegView view = RegView::native,
                               const ProgressFn& progress = {});

// An import, decided before anything is sent: phases in file order, each a
// pipelined run of server requests, then the values only the platform's
// editor can store (one temporary file, read back afterwards). A phase ends
// where the editor's writes must land before what follows ([-KEY], or a
// value the editor is about to write that the file names again).
struct ImportStep {
    enum class Op {
        set,             // a value the server stores exactly
        delete_value,    // "name"=-: a missing value counts as deleted
        delete_tree,     // [-KEY]
        create,          // a key block without values: a helper value creates the key...
        create_cleanup,  // ...and is removed again (always right after its create)
    };
    Op op;
    std::string key;   // short root form
    std::string name;  // the value (the helper's for create and create_cleanup)
    Request request;
};

struct ImportPhase {
    std::vector<ImportStep> steps;
    RegFile editor;  // values for the platform's editor, sent after the steps
};

struct ImportPlan {
    std::vector<ImportPhase> phases;
    size_t keys = 0;   // key blocks to write or create
    size_t units = 0;  // steps and editor values: the progress total
};

// Pure: decides every request; fails with kind refused, naming the key and
// value, for what the import refuses. `helper_tag` makes the helper values'
// names unique ("qvctl-new-key-TAG-N").
Result<ImportPlan> plan_import(const RegFile& file, RegView view, std::string_view helper_tag);
// Carries a plan out over the session; every value the editor wrote is read
// back (in both views for RegView::both). Fails as import_tree does.
Result<TreeImport> run_import(Session& session, const ImportPlan& plan, RegView view,
                              const ProgressFn& progress = {});

// The literal that makes the server store exactly this type and these bytes:
// a named one (dword:, str:, str(2):, str(7):, hex:) where it does, else
// hex(N): (REG_NONE, REG_QWORD and other type numbers, text without its
// single terminating NUL, text holding NUL or ill-formed UTF-16, multi-strings
// with an empty element or one holding backslash followed by '0').
std::string exact_literal(uint32_t type, std::string_view data);

// Moves every key path of the file from below `from` to below `to`, keeping
// the part under `from` (roots compared without regard to case, in any
// spelling). Throws std::invalid_argument, changing nothing, when a key lies
// outside `from`.
void rebase_regfile(RegFile& file, std::string_view from, std::string_view to);

}  // namespace qv
