// SPDX-License-Identifier: GPL-2.0-or-later
#include "slot/SlotCycles.h"

#include <utility>

namespace qw735 {

SlotCycles::SlotCycles(int slotCount, int count) : cycles_(static_cast<std::size_t>(slotCount)), count_(count) {}

SlotCycles::Cycle &SlotCycles::At(int slot)
{
    return cycles_.at(static_cast<std::size_t>(slot));
}

const SlotCycles::Cycle &SlotCycles::At(int slot) const
{
    return cycles_.at(static_cast<std::size_t>(slot));
}

void SlotCycles::Appeared(int slot)
{
    Cycle &cycle = At(slot);
    cycle.device = Device::Settling;
    ++cycle.appearance;
}

void SlotCycles::Ready(int slot)
{
    Cycle &cycle = At(slot);
    if (cycle.device == Device::Settling)
        cycle.device = Device::Ready;
}

void SlotCycles::Gone(int slot)
{
    At(slot).device = Device::None;
}

std::vector<int> SlotCycles::StartDue()
{
    std::vector<int> due;
    for (int slot = 0; slot < static_cast<int>(cycles_.size()); ++slot) {
        if (stopped_ || CountReached())
            break;
        Cycle &cycle = At(slot);
        if (StateOf(slot) != State::Ready)
            continue;
        cycle.writing = true;
        cycle.writtenAppearance = cycle.appearance;
        ++running_;
        due.push_back(slot);
    }
    return due;
}

void SlotCycles::WriteEnded(int slot, End end)
{
    Cycle &cycle = At(slot);
    if (!cycle.writing)
        return;
    cycle.writing = false;
    --running_;
    if (end == End::Board)
        ++written_;
}

void SlotCycles::Stop()
{
    stopped_ = true;
}

SlotCycles::State SlotCycles::StateOf(int slot) const
{
    const Cycle &cycle = At(slot);
    if (cycle.writing)
        return State::Writing;
    switch (cycle.device) {
    case Device::None: return State::Empty;
    case Device::Settling: return State::Settling;
    case Device::Ready: return cycle.writtenAppearance == cycle.appearance ? State::Written : State::Ready;
    }
    std::unreachable();
}

bool SlotCycles::CountReached() const
{
    // Writes under way count against it: one of them may end with no
    // board, and the count is then free again for a slot still ready.
    return count_ > 0 && written_ + running_ >= count_;
}

bool SlotCycles::Finished() const
{
    return running_ == 0 && (stopped_ || (count_ > 0 && written_ >= count_));
}

}  // namespace qw735
