// Monitoring control's operations, in interface order.
#include "bindings.hpp"
#include "monitor/operations.hpp"
#include "monitor/pass_report.hpp"
#include "names.hpp"

namespace kilnguard {

namespace nb = nanobind;

namespace {

// A read-only attribute of PassReport with its type as the stub shows it.
template <auto Member>
void report_field(nb::class_<monitor::PassReport>& report, const char* name, const char* sig,
                  const char* doc) {
    report.def_prop_ro(
        name, [](const monitor::PassReport& r) { return r.*Member; },
        nb::for_getter(nb::sig(sig)), nb::for_getter(doc));
}

// A report holds the pass's exception, whose traceback holds the frames
// that may hold the report: the collector must see through it.
int report_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    for (nb::handle member : nb::inst_ptr<monitor::PassReport>(self)->members())
        Py_VISIT(member.ptr());
    return 0;
}

int report_clear(PyObject* self) {
    nb::inst_ptr<monitor::PassReport>(self)->clear();
    return 0;
}

PyType_Slot report_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(report_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(report_clear)},
    {0, nullptr},
};

void bind_pass_report(nb::module_& m) {
    using monitor::PassReport;
    nb::class_<PassReport> report(m, "PassReport", nb::type_slots(report_slots),
                                  R"(What one watch pass or start-up snapshot came to.

Handed once to the module's _burn_pass_report after every run_kilnguard_once
and run_burn_startup_snapshot, whatever their outcome. Read-only; made by the
module only.)");
    report_field<&PassReport::kind>(report, "kind",
                 "def kind(self, /) -> str",
                 R"("pass" or "snapshot".)");
    report_field<&PassReport::result>(report, "result",
                 "def result(self, /) -> int | BaseException",
                 R"(0 or 1 as returned, or the exception the pass raised.)");
    report_field<&PassReport::failure>(report, "failure",
                 "def failure(self, /) -> str | None",
                 R"(None for 0; else "taostats_key", "fetch", "listing", "delivery" or "error".)");
    report_field<&PassReport::updated_at>(report, "updated_at",
                 "def updated_at(self, /) -> str | None",
                 R"(The pass's time stamp text; None when it stopped before taking one.)");
    report_field<&PassReport::subnets>(report, "subnets",
                 "def subnets(self, /) -> int | None",
                 R"(Entries of the rate map the pass built; None when it built none.)");
    report_field<&PassReport::changes>(report, "changes",
                 "def changes(self, /) -> tuple[tuple[str, str, str], ...]",
                 R"((netuid, old, new) as diff_burns gave them; empty when nothing changed.)");
    report_field<&PassReport::rates>(report, "rates",
                 "def rates(self, /) -> types.MappingProxyType[str, str] | None",
                 R"(Read-only view of the rate map the pass built; None when it built none.)");
    report_field<&PassReport::pagination>(report, "pagination",
                 "def pagination(self, /) -> object",
                 R"(The listing page's top-level "pagination" member, or None.)");
    report_field<&PassReport::attempts>(report, "attempts",
                 "def attempts(self, /) -> int",
                 R"(Listing requests the module made; 0 while a host's fetch stands in for it.)");
    report_field<&PassReport::throttled>(report, "throttled",
                 "def throttled(self, /) -> int",
                 R"(How many of those answers were throttled.)");
    report_field<&PassReport::http_status>(report, "http_status",
                 "def http_status(self, /) -> int | None",
                 R"(The HTTP status of a listing that came back as an error answer, else None.)");
    report_field<&PassReport::error>(report, "error",
                 "def error(self, /) -> str",
                 R"("" for 0; else what the pass logged after its prefix, on one line.)");
    report_field<&PassReport::duration>(report, "duration",
                 "def duration(self, /) -> float",
                 R"(Seconds the pass took, on a monotonic clock.)");
    report.def("__repr__", &PassReport::repr, nb::sig("def __repr__(self, /) -> str"));
}

}  // namespace

void bind_monitor(nb::module_& m) {
    m.def(names::run_kilnguard_once.name, &monitor::run_kilnguard_once, nb::kw_only(),
          param("state_path"), param("threshold"), param("burn_token"), param("burn_chat_id"),
          nb::sig("def run_kilnguard_once(*, state_path: str, threshold: float, "
                  "burn_token: str, burn_chat_id: str) -> int"),
          R"(One monitoring pass; 0 when it completed, 1 when it failed.

Fetches the listing, builds the rate map, compares it with the state file
(unless that is empty), saves the new rates before anything is sent, and
sends one alert when a rate moved by more than threshold. Writes its outcome
as a "[burn] " line on standard error; catches no error.)");

    m.def(names::run_burn_startup_snapshot.name, &monitor::run_burn_startup_snapshot, nb::kw_only(),
          param("state_path"), param("burn_token"), param("burn_chat_id"),
          nb::sig("def run_burn_startup_snapshot(*, state_path: str, burn_token: str, "
                  "burn_chat_id: str) -> int"),
          R"(Fetch all subnets and send full burn-rate snapshot to burn Telegram.

Stores every subnet's rate as the new baseline without comparing, then sends
the table of all rates. 0 when the snapshot was delivered, 1 otherwise.)");

    m.def(names::burn_check_listing.name, &monitor::burn_check_listing, param("rows"),
          param("pagination"), param("stored"),
          nb::sig("def _burn_check_listing(rows: list[tuple[str | None, object]], "
                  "pagination: object, stored: dict[str, str] | None) -> object"),
          R"(Listing check a host binds in its place; the module's own accepts all.

While a host's check is bound, a pass and the start-up snapshot call it once
the rate map is built and before anything is compared or saved: rows holds
(key, incentive_burn) per listing row that is a dict, key as the rate map
keys the row's subnet or None when it names none, incentive_burn as listed or
None; pagination is the page's pagination member or None; stored is the map
load_burn_state gave the pass, None for the snapshot. None or an empty value
accepts; anything else is the reason for refusing: the pass logs it as a
failed fetch ({"error": "listing_looks_wrong", "reason": ...}), saves and
sends nothing and returns 1.)");

    bind_pass_report(m);

    m.def(names::burn_pass_report.name, &monitor::burn_pass_report, param("report"),
          nb::sig("def _burn_pass_report(report: PassReport) -> None"),
          R"(Report hook a host binds in its place; the module's own does nothing.

After every run_kilnguard_once and run_burn_startup_snapshot that accepted its
arguments, whatever the outcome, the hook bound now is called with one
PassReport (none is built while this one is bound). An exception from it is
logged as "[burn] pass report failed: ..." and changes neither the pass's
result nor its exception; KeyboardInterrupt and SystemExit go on.)");

    m.def(names::burn_is_paused.name, &monitor::burn_is_paused, param("pause_path"),
          nb::sig("def _burn_is_paused(pause_path: str) -> bool"),
          R"(Whether the pause file is in place.

True when pause_path is not empty and names an existing regular file
(symbolic links followed). Every failure to examine the path means not paused.)");

    m.def(names::sleep_until_interval.name, &monitor::sleep_until_interval,
          param("interval_seconds"),
          param("pause_path"),
          nb::sig("def _sleep_until_interval(interval_seconds: float, pause_path: str) -> bool"),
          R"(Sleep in 1s steps. Returns False if paused before interval elapsed.

Tests the pause file before each step of at most one second and once at the
end; sleeps through the host's time.sleep.)");

    m.def(names::run_burn_poll_loop.name, &monitor::run_burn_poll_loop, nb::kw_only(),
          param("state_path"), param("threshold"), param("interval_minutes"),
          param("burn_token"), param("burn_chat_id"), param("pause_path") = "",
          nb::sig("def run_burn_poll_loop(*, state_path: str, threshold: float, "
                  "interval_minutes: float, burn_token: str, burn_chat_id: str, "
                  "pause_path: str = '') -> None"),
          R"(Monitor without end: wait an interval, run a pass, repeat.

The interval is interval_minutes * 60 seconds, at least one minute. A pass
that raises an ordinary error is logged as "[burn] error: ..." and the loop
goes on. Returns only when the pause file appears.)");

    m.def(names::scrub_secrets.name, &monitor::scrub_secrets, param("text"), param("secrets"),
          nb::sig("def _scrub_secrets(text: str, secrets: list[str]) -> str"),
          R"(text with every form of every secret blotted out, as the module's texts are.

Each secret of at least 8 characters is found plainly, JSON-escaped,
percent-encoded or in any mixture of these and replaced by "..."; shorter
secrets are left alone.)");

    m.def(names::log_line.name, &monitor::log_line, param("text"),
          nb::sig("def _log_line(text: str) -> None"),
          R"(Writes text and a line feed to sys.stderr as the module writes its lines.

One write, no flush, no prefix added; CR and LF inside text are written as
\r and \n, and a line over 8000 characters is cut with a note of how many
more there were.)");
}

}  // namespace kilnguard
