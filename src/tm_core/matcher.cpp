#include "tm_core/matcher.h"

#include <utility>

namespace tm_core {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

Matcher::Matcher(Engine engine) : engine_(std::move(engine)) {}
Matcher::Matcher(Matcher&&) noexcept = default;
Matcher& Matcher::operator=(Matcher&&) noexcept = default;
Matcher::~Matcher() = default;

Matcher Matcher::l0(tm_types::InstrumentId instrument) {
  return Matcher(Engine(std::in_place_type<tm_engine::L0Engine>, instrument));
}

void Matcher::submit(const tm_types::Working& order, tm_types::Nanos /*now*/) {
  std::visit(Overloaded{[&](tm_engine::L0Engine& e) { e.submit(order); }}, engine_);
}

bool Matcher::cancel(tm_types::OrderId id) {
  return std::visit(Overloaded{[&](tm_engine::L0Engine& e) { return e.cancel(id); }}, engine_);
}

std::size_t Matcher::cancel_all() {
  return std::visit(Overloaded{[](tm_engine::L0Engine& e) { return e.cancel_all(); }}, engine_);
}

std::span<const tm_engine::L0Fill> Matcher::on_tick_wrapped(const tm_engine::Tick& tick) {
  return std::visit(
      Overloaded{[&](tm_engine::L0Engine& e) { return e.on_tick(tick); }}, engine_);
}

std::vector<tm_engine::L0Fill> Matcher::drain_unreported() {
  return std::visit(
      Overloaded{[](tm_engine::L0Engine&) { return std::vector<tm_engine::L0Fill>{}; }}, engine_);
}

tm_types::InstrumentId Matcher::instrument() const {
  return std::visit(
      Overloaded{[](const tm_engine::L0Engine& e) { return e.instrument(); }}, engine_);
}

std::string_view Matcher::tier_name() const {
  return std::visit(Overloaded{[](const tm_engine::L0Engine&) { return std::string_view("L0"); }},
                    engine_);
}

std::uint64_t Matcher::skipped_ticks() const {
  return std::visit(
      Overloaded{[](const tm_engine::L0Engine&) { return std::uint64_t{0}; }}, engine_);
}

}  // namespace tm_core
