#include "plan.hpp"

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace pairdot_run {

namespace {

void check_slots(const std::vector<int> &slots) {
  if (slots.size() < 2) {
    throw std::invalid_argument("a sweep needs at least two hosts");
  }
  if (slots.size() > static_cast<std::size_t>(INT32_MAX / 2)) {
    throw std::invalid_argument("too many hosts for a sweep");
  }
  for (std::size_t h = 0; h < slots.size(); ++h) {
    if (slots[h] < 1) {
      throw std::invalid_argument("host " + std::to_string(h) + " has no slot");
    }
  }
}

// Calls visit(sender, receiver) for every ordered pair of distinct hosts:
// the circle method's matchings in turn, each one way, then the other. An
// odd host count gets a bye host, the fixed point of the circle.
template <typename Visit> void for_each_directed_pair(std::int32_t n, Visit visit) {
  const std::int32_t ring = n - 1 + n % 2; // hosts on the circle
  for (std::int32_t round = 0; round < ring; ++round) {
    for (int back = 0; back < 2; ++back) {
      if (ring < n) { // no bye: the fixed host meets this round's host
        back ? visit(ring, round) : visit(round, ring);
      }
      std::int32_t up = round;
      std::int32_t down = round;
      for (std::int32_t i = 1; 2 * i <= ring; ++i) {
        up = up + 1 == ring ? 0 : up + 1;
        down = down == 0 ? ring - 1 : down - 1;
        back ? visit(down, up) : visit(up, down);
      }
    }
  }
}

struct Host {
  std::int32_t slots;
  std::int32_t first; // first job where the host has a free slot
  std::int32_t left;  // pair ends still to place
};

// First-fit state. cells[j][h] is host h's free slots in job j while it has
// some, then minus a later job to look at (links shortened as they are
// followed). waiting[j] counts the hosts with ends left whose first job is
// j; jobs before the first one waited on are closed: no pair can go there,
// and their cells are dropped.
struct Packing {
  std::vector<Host> hosts;
  std::vector<std::vector<std::int32_t>> cells;
  std::vector<std::int32_t> waiting;
  std::vector<PlannedJob> jobs;
  std::int64_t reservable; // ranks that may still be reserved
  std::int32_t oldest;     // oldest job not closed
};

// Opens a job, reserving what its hosts can still take (exactly what every
// job of equal slots and an even host count gets). All reservations stay
// within the plan's ranks plus one full job; jobs past that grow as they fill.
void open_job(Packing &p) {
  const auto n = p.hosts.size();
  std::vector<std::int32_t> row(n);
  std::int64_t room = 0;
  for (std::size_t h = 0; h < n; ++h) {
    row[h] = p.hosts[h].slots;
    room += std::min(p.hosts[h].slots, p.hosts[h].left);
  }
  p.cells.push_back(std::move(row));
  p.waiting.push_back(0);
  p.jobs.emplace_back();
  const std::int64_t reserve = std::min(room, p.reservable);
  p.jobs.back().rank_hosts.reserve(static_cast<std::size_t>(reserve));
  p.reservable -= reserve;
}

// The first job from j on where host h has a free slot; the job count if
// none has.
std::int32_t free_job(Packing &p, std::int32_t h, std::int32_t j) {
  const auto jobs = static_cast<std::int32_t>(p.jobs.size());
  std::int32_t found = j;
  while (found < jobs && p.cells[found][h] <= 0) {
    found = -p.cells[found][h];
  }
  while (j != found) { // link the full jobs passed straight to it
    std::int32_t &cell = p.cells[j][h];
    j = -cell;
    cell = -found;
  }
  return found;
}

// The first job from j on where hosts a and b both have a free slot.
std::int32_t common_free_job(Packing &p, std::int32_t a, std::int32_t b, std::int32_t j) {
  for (;;) {
    j = free_job(p, a, j);
    const std::int32_t for_b = free_job(p, b, j);
    if (for_b == j) {
      return j;
    }
    j = for_b;
  }
}

// A host no longer waits on job j: closes the jobs nobody waits on.
void stop_waiting(Packing &p, std::int32_t j) {
  if (--p.waiting[j] > 0) {
    return;
  }
  const auto jobs = static_cast<std::int32_t>(p.jobs.size());
  while (p.oldest < jobs && p.waiting[p.oldest] == 0) {
    std::vector<std::int32_t>().swap(p.cells[p.oldest]);
    ++p.oldest;
  }
}

// Host h got a rank in job j and is done or has no free slot left there.
void update_host(Packing &p, std::int32_t h, std::int32_t j) {
  Host &host = p.hosts[h];
  std::int32_t &cell = p.cells[j][h];
  const bool full = cell == 0;
  if (full) {
    cell = -(j + 1);
  }
  const std::int32_t from = host.first;
  if (host.left > 0) {
    if (!full || from != j) {
      return;
    }
    host.first = free_job(p, h, j + 1);
    // h has ends left, so a job opened here gets a pair.
    if (host.first == static_cast<std::int32_t>(p.jobs.size())) {
      open_job(p);
    }
    ++p.waiting[host.first];
  }
  stop_waiting(p, from);
}

// Puts the pair into the first job where both hosts have a free slot.
inline void place(Packing &p, std::int32_t a, std::int32_t b) {
  Host &ha = p.hosts[a];
  Host &hb = p.hosts[b];
  std::int32_t j = std::max(ha.first, hb.first);
  std::int32_t *row = p.cells[j].data();
  if (row[a] <= 0 || row[b] <= 0) {
    j = common_free_job(p, a, b, j);
    if (j == static_cast<std::int32_t>(p.jobs.size())) {
      open_job(p);
    }
    row = p.cells[j].data();
  }
  auto &ranks = p.jobs[j].rank_hosts;
  ranks.push_back(a);
  ranks.push_back(b);
  --row[a];
  --row[b];
  if (--ha.left == 0 || row[a] == 0) {
    update_host(p, a, j);
  }
  if (--hb.left == 0 || row[b] == 0) {
    update_host(p, b, j);
  }
}

} // namespace

std::int64_t sweep_job_bound(const std::vector<int> &slots) {
  check_slots(slots);
  const std::int64_t ends = 2 * (static_cast<std::int64_t>(slots.size()) - 1);
  std::int64_t bound = 0;
  for (int s : slots) {
    bound = std::max(bound, (ends + s - 1) / s);
  }
  return bound;
}

std::vector<PlannedJob> plan_sweep(const std::vector<int> &slots) {
  check_slots(slots);
  const auto n = static_cast<std::int32_t>(slots.size());
  Packing p{{}, {}, {}, {}, 0, 0};
  p.hosts.reserve(n);
  std::int64_t all_slots = 0;
  for (int s : slots) {
    p.hosts.push_back({s, 0, 2 * (n - 1)});
    all_slots += s;
  }
  p.reservable = 2 * static_cast<std::int64_t>(n) * (n - 1) + all_slots;
  open_job(p);
  p.waiting[0] = n;
  for_each_directed_pair(n, [&p](std::int32_t a, std::int32_t b) { place(p, a, b); });
  return std::move(p.jobs);
}

} // namespace pairdot_run
