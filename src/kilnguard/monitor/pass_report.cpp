#include "monitor/pass_report.hpp"

#include "common/py.hpp"
#include "names.hpp"

namespace kilnguard::monitor {

void burn_pass_report(nb::handle report) {
    // The module's own report hook does nothing, and a pass that finds it
    // bound builds no report at all.
    if (!nb::isinstance<PassReport>(report))
        py::raise(PyExc_TypeError, "%s() argument 'report' must be kilnguard.PassReport, not %s",
                  names::burn_pass_report.name, py::type_name_or_none(report));
}

nb::object burn_check_listing(nb::handle rows, nb::handle pagination, nb::handle stored) {
    // The module's own check accepts every listing, and a pass that finds it
    // bound does not even gather the rows for it.
    py::ArgCheck{names::burn_check_listing}.list("rows", rows);
    if (!stored.is_none() && !PyDict_Check(stored.ptr()))
        py::raise(PyExc_TypeError, "%s() argument 'stored' must be dict or None, not %s",
                  names::burn_check_listing.name, py::type_name_or_none(stored));
    static_cast<void>(pagination);
    return nb::none();
}

namespace {

// An exception's traceback, context and cause, as they stood before host
// code was handed the exception: a hook that raises it again, or raises
// another while handling it, must not change what the caller then sees.
class ExceptionLinks {
public:
    explicit ExceptionLinks(nb::handle error)
        : error_(error),
          traceback_(nb::steal(PyException_GetTraceback(error.ptr()))),
          context_(nb::steal(PyException_GetContext(error.ptr()))),
          cause_(nb::steal(PyException_GetCause(error.ptr()))),
          suppress_(reinterpret_cast<PyBaseExceptionObject*>(error.ptr())->suppress_context) {}

    ~ExceptionLinks() {
        PyObject* error = error_.ptr();
        PyException_SetTraceback(error, traceback_.is_valid() ? traceback_.ptr() : Py_None);
        PyException_SetContext(error, context_.is_valid() ? context_.inc_ref().ptr() : nullptr);
        PyException_SetCause(error, cause_.is_valid() ? cause_.inc_ref().ptr() : nullptr);
        reinterpret_cast<PyBaseExceptionObject*>(error)->suppress_context = suppress_;
    }

private:
    nb::handle error_;
    nb::object traceback_, context_, cause_;
    char suppress_;
};

}  // namespace

nb::str PassReport::repr() const {
    return py::steal_or_throw<nb::str>(PyUnicode_FromFormat(
        "PassReport(kind=%R, result=%R, failure=%R, updated_at=%R, subnets=%R, changes=%zd, "
        "attempts=%lld, throttled=%lld, http_status=%R, error=%R, duration=%R)",
        kind.ptr(), result.ptr(), failure.ptr(), updated_at.ptr(), subnets.ptr(),
        PyTuple_GET_SIZE(changes.ptr()), attempts, throttled, http_status.ptr(), error.ptr(),
        nb::float_(duration).ptr()));
}

void PassReport::clear() {
    // Left as None, never NULL: a getter may still run on a cleared report.
    result = failure = updated_at = subnets = rates = pagination = http_status = nb::none();
    changes = nb::tuple();
}

PassRecord::PassRecord(const char* kind, const nb::str& token) : kind_(kind), token_(token) {
    secrets_.add(token);
}

void PassRecord::key_found(nb::handle auth) {
    // In the order every other text of the pass is scrubbed with.
    scrub::Secrets secrets;
    secrets.add(auth);
    secrets.add(token_);
    secrets_ = std::move(secrets);
}

void PassRecord::failed(const char* failure, const nb::str& logged) {
    failure_ = failure;
    logged_ = logged;
}

void PassRecord::fetch_failed(const nb::object& error_object, const nb::str& logged) {
    static const py::Key response{"response"};
    static const py::Key http_status{"http_status"};
    failed("fetch", logged);
    // A non-2xx answer reaches the pass as {"error": ..., "response": {...,
    // "http_status": N}}; its status is what a host most often acts on.
    if (!PyDict_Check(error_object.ptr())) return;
    std::optional<nb::object> answer = py::member(error_object, response);
    if (!answer || !PyDict_Check(answer->ptr())) return;
    std::optional<nb::object> status = py::member(*answer, http_status);
    if (status && PyLong_Check(status->ptr()) && !PyBool_Check(status->ptr()))
        http_status_ = *status;
}

void PassRecord::returned(const nb::int_& result) {
    report([&] {
        if (!py::truth(result)) return build(result, nb::none(), nb::str(""));
        nb::object failure = failure_ ? nb::object(nb::str(failure_)) : nb::none();
        nb::str error = logged_.is_valid() ? nb::borrow<nb::str>(logged_) : nb::str("");
        return build(result, failure, error);
    });
}

void PassRecord::raised(nb::python_error& error) {
    nb::handle exception = error.value();
    ExceptionLinks links(exception);
    try {
        report([&] {
            return build(exception, nb::str("error"),
                         py::single_line(secrets_.text(py::text_form(exception))));
        });
    } catch (nb::python_error& hook_error) {
        // The pass's own exception goes on, unless the host's hook was
        // interrupted: Ctrl-C must stop the program.
        if (hook_error.matches(PyExc_KeyboardInterrupt)) throw;
        log_hook_failure(hook_error);
    }
}

void PassRecord::log_hook_failure(const nb::python_error& failure) const {
    nb::str text = secrets_.text(py::text_form(failure.value()));
    py::host_log(py::steal_or_throw(
        PyUnicode_FromFormat("[burn] pass report failed: %U\n", text.ptr())));
}

template <typename Make>
void PassRecord::report(Make&& make) {
    try {
        // While the module's own no-op is bound, nothing is built or called.
        nb::object hook = py::module_attr(names::burn_pass_report);
        if (py::is_own(names::burn_pass_report, hook)) return;
        hook(std::forward<Make>(make)());
    } catch (nb::python_error& hook_error) {
        // KeyboardInterrupt, SystemExit and the like are the host's to handle.
        if (!hook_error.matches(PyExc_Exception)) throw;
        log_hook_failure(hook_error);
    }
}

nb::object PassRecord::build(nb::handle result, nb::handle failure, const nb::str& error) {
    PassReport report;
    report.kind = nb::str(kind_);
    report.result = nb::borrow(result);
    report.failure = nb::borrow(failure);
    report.updated_at = updated_at_;
    if (rates_) {
        report.subnets = nb::int_(nb::len(*rates_));
        report.rates = py::steal_or_throw(PyDictProxy_New(rates_->ptr()));
    }
    // Each change a tuple of its own, whatever sequence a host's diff_burns
    // gave back; the report never shares a list the host may still change.
    nb::list changes;
    if (changes_.is_valid())
        for (nb::handle change : changes_)
            changes.append(py::steal_or_throw(PySequence_Tuple(change.ptr())));
    report.changes = py::steal_or_throw<nb::tuple>(PyList_AsTuple(changes.ptr()));
    report.pagination = tally_.page_pagination();
    report.attempts = tally_.attempts;
    report.throttled = tally_.throttled;
    report.http_status = http_status_;
    report.error = error;
    report.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_)
                          .count();
    return nb::cast(std::move(report));
}

}  // namespace kilnguard::monitor
