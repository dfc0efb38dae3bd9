#include "tm_engine/matcher.h"

#include <utility>

#include "tm_engine/l1.h"
#include "tm_engine/l2.h"

namespace tm_engine {

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
  return Matcher(Engine(std::in_place_type<L0Engine>, instrument));
}

Matcher Matcher::l1(tm_types::InstrumentId instrument, const L1Config& config) {
  return Matcher(Engine(std::make_unique<L1Engine>(instrument, config)));
}

Matcher Matcher::l2(tm_types::InstrumentId instrument, const L1Config& config) {
  return Matcher(Engine(std::make_unique<L2Engine>(instrument, config)));
}

void Matcher::submit(const tm_types::Working& order, tm_types::Nanos now) {
  std::visit(
      Overloaded{[&](L0Engine& e) { e.submit(order); }, [&](auto& e) { e->submit(order, now); }},
      engine_);
}

bool Matcher::cancel(tm_types::OrderId id) {
  return std::visit(
      Overloaded{[&](L0Engine& e) { return e.cancel(id); }, [&](auto& e) { return e->cancel(id); }},
      engine_);
}

std::size_t Matcher::cancel_all() {
  return std::visit(Overloaded{[](L0Engine& e) { return e.cancel_all(); },
                               [](auto& e) { return e->cancel_all(); }},
                    engine_);
}

std::span<const L0Fill> Matcher::on_tick_wrapped(const tm_types::Tick& tick) {
  return std::visit(Overloaded{[&](L0Engine& e) { return e.on_tick(tick); },
                               [&](auto& e) { return e->on_tick(tick); }},
                    engine_);
}

std::vector<L0Fill> Matcher::drain_unreported() {
  return std::visit(Overloaded{[](L0Engine&) { return std::vector<L0Fill>{}; },
                               [](auto& e) { return e->drain_unreported(); }},
                    engine_);
}

tm_types::InstrumentId Matcher::instrument() const {
  return std::visit(Overloaded{[](const L0Engine& e) { return e.instrument(); },
                               [](const auto& e) { return e->instrument(); }},
                    engine_);
}

Execution::Kind Matcher::kind() const {
  static_assert(std::variant_size_v<Engine> == 3, "one engine per execution kind");
  return static_cast<Execution::Kind>(engine_.index());
}

std::uint64_t Matcher::skipped_ticks() const {
  return std::visit(
      Overloaded{[](const L0Engine&) { return std::uint64_t{0}; },
                 [](const std::unique_ptr<L1Engine>&) { return std::uint64_t{0}; },
                 [](const std::unique_ptr<L2Engine>& e) { return e->invalid_ticks(); }},
      engine_);
}

std::uint64_t Matcher::rejected_depth_updates() const {
  const L2Engine* e = l2();
  return e != nullptr ? e->rejected_updates() : 0;
}

std::optional<tm_book::DepthError> Matcher::on_depth(const tm_book::DepthUpdate& update) {
  if (auto* e = std::get_if<std::unique_ptr<L2Engine>>(&engine_)) {
    return (*e)->on_depth(update);
  }
  return std::nullopt;
}

void Matcher::install_snapshot(const tm_book::DepthSnapshot& snapshot) {
  if (auto* e = std::get_if<std::unique_ptr<L2Engine>>(&engine_)) {
    (*e)->install_snapshot(snapshot);
  }
}

const L1Engine* Matcher::l1() const {
  const auto* e = std::get_if<std::unique_ptr<L1Engine>>(&engine_);
  return e != nullptr ? e->get() : nullptr;
}

const L2Engine* Matcher::l2() const {
  const auto* e = std::get_if<std::unique_ptr<L2Engine>>(&engine_);
  return e != nullptr ? e->get() : nullptr;
}

}  // namespace tm_engine
