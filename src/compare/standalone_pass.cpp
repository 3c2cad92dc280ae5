#include <memory>

#include "compare/content_compare.h"
#include "compare/file_knowledge.h"
#include "compare/list_knowledge.h"
#include "compare/pass_context.h"

bool file_knowledge_enabled = true;

namespace {

list_knowledge standalone_knowledge;
own_change_log standalone_changes;
pass_context standalone;

}  // namespace

knowledge_counters &knowledge_counts = standalone_knowledge.counts;

pass_context &standalone_pass() {
    // Allocated when first asked for: a run of the driver never is.
    static std::unique_ptr<comparison_buffers> buffers(new comparison_buffers);
    standalone.options = run_options;
    standalone.view = file_view{};
    standalone.stats = &run_stats;
    standalone.known = file_knowledge_enabled ? &standalone_knowledge : nullptr;
    standalone.changes = &standalone_changes;
    standalone.buffers = buffers.get();
    return standalone;
}
