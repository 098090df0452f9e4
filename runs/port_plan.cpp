#include "runs/port_plan.h"

#include <algorithm>
#include <set>

#include "protocol/line_choices.h"

namespace oxu::runs {

std::vector<PlannedPort> planPorts(const std::vector<PortRequest>& named, PortFactory& factory,
                                   const CandidateScan& scan) {
    std::vector<PlannedPort> plan;
    if (!named.empty()) {
        for (const PortRequest& request : named)
            plan.push_back({request, factory.identify(request), true});
        return plan;
    }
    std::vector<PortCandidate> candidates = scan();
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const PortCandidate& c) { return c.adapter.vendorId.has_value(); });
    std::set<int> taken;
    for (const PortCandidate& candidate : candidates) {
        if (candidate.number)
            taken.insert(*candidate.number);
    }
    int free = kFirstPortNumber;
    for (const PortCandidate& candidate : candidates) {
        while (taken.count(free) > 0)
            ++free;
        const int number = candidate.number.value_or(free);
        if (number > kLastPortNumber)
            continue;
        taken.insert(number);
        PortIdentity identity{number, candidate.device, candidate.adapter, {}};
        identity.names.byId = candidate.byId;
        plan.push_back(
            {{number, candidate.device}, identity, candidate.adapter.vendorId.has_value()});
    }
    return plan;
}

}  // namespace oxu::runs
