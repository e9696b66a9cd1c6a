// A numbered table of resource records (ports, files, windows, controls).
//
// Slots 0 and up index the table; claiming at or past the end grows it to
// slot + step. A record is open while its `handle` field is non-zero. Every
// lookup of a missing or zeroed record yields nullptr, which is what lets the
// layers above make every operation on a closed slot a harmless 0.
//
// Claiming slot -1 creates a "detached" record outside the numbered range and
// hands back an identifier (>= the detached base) that lookups accept in
// place of a slot number. Detached records are freed when closed; numbered
// ones are zeroed and kept for reuse.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

template <typename Record>
class SlotTable {
 public:
  using CloseAction = std::function<void(int32_t id)>;

  // `close_action` must end by calling Release(id) for the same id.
  SlotTable(int32_t step, CloseAction close_action, int32_t detached_base = 1 << 20)
      : step_(step > 0 ? step : 1),
        close_action_(std::move(close_action)),
        detached_base_(detached_base),
        next_detached_(detached_base),
        slots_(static_cast<size_t>(step_)) {}

  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  // Claims `slot` (0 or more) or, for -1, a new detached record. A slot that
  // holds an open record is closed through the close action first. Returns a
  // zeroed record and stores its identifier in *id; nullptr for slot < -1
  // or a slot number in the detached range.
  Record* Claim(int32_t slot, int32_t* id = nullptr) {
    if (slot == -1) {
      int32_t new_id = next_detached_++;
      auto& rec = detached_[new_id];
      rec = std::make_unique<Record>();
      if (id) *id = new_id;
      return rec.get();
    }
    // Numbered slots stop below the detached range so identifiers never clash.
    if (slot < 0 || slot >= detached_base_) return nullptr;
    if (static_cast<size_t>(slot) >= slots_.size()) {
      slots_.resize(static_cast<size_t>(slot) + static_cast<size_t>(step_));
    }
    auto& rec = slots_[static_cast<size_t>(slot)];
    if (rec && IsOpen(*rec)) close_action_(slot);
    if (rec) {
      *rec = Record{};
    } else {
      rec = std::make_unique<Record>();
    }
    if (id) *id = slot;
    return rec.get();
  }

  // The open record behind a slot number or detached identifier, or nullptr.
  Record* Find(int32_t id) const {
    Record* rec = Lookup(id);
    return (rec && IsOpen(*rec)) ? rec : nullptr;
  }

  // Zeroes a numbered record in place, or frees a detached one. Meant to be
  // the last step of the close action.
  void Release(int32_t id) {
    if (id >= detached_base_) {
      detached_.erase(id);
      return;
    }
    if (Record* rec = Lookup(id)) *rec = Record{};
  }

  // Runs the close action on every open record, numbered ones first.
  void CloseAll() {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i] && IsOpen(*slots_[i])) close_action_(static_cast<int32_t>(i));
    }
    std::vector<int32_t> open_detached;
    for (auto& [id, rec] : detached_) {
      if (rec && IsOpen(*rec)) open_detached.push_back(id);
    }
    for (int32_t id : open_detached) close_action_(id);
  }

  // Number of numbered entries (the table's current size).
  size_t Size() const { return slots_.size(); }
  // Number of detached records alive.
  size_t DetachedCount() const { return detached_.size(); }

  // Visits every open record in slot order, then the detached ones by
  // identifier. The visitor must not claim or release.
  template <typename Visitor>
  void ForEachOpen(Visitor&& visit) const {
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i] && IsOpen(*slots_[i])) visit(static_cast<int32_t>(i), *slots_[i]);
    }
    for (auto& [id, rec] : detached_) {
      if (rec && IsOpen(*rec)) visit(id, *rec);
    }
  }

 private:
  static bool IsOpen(const Record& rec) { return rec.handle != decltype(rec.handle){}; }

  Record* Lookup(int32_t id) const {
    if (id >= detached_base_) {
      auto it = detached_.find(id);
      return it == detached_.end() ? nullptr : it->second.get();
    }
    if (id < 0 || static_cast<size_t>(id) >= slots_.size()) return nullptr;
    return slots_[static_cast<size_t>(id)].get();
  }

  int32_t step_;
  CloseAction close_action_;
  int32_t detached_base_;
  int32_t next_detached_;
  std::vector<std::unique_ptr<Record>> slots_;
  std::map<int32_t, std::unique_ptr<Record>> detached_;
};
