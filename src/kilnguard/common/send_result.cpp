#include "common/send_result.hpp"

#include "common/py.hpp"

namespace kilnguard::send_result {

nb::tuple succeeded() { return nb::make_tuple(true, nb::str("")); }

nb::tuple failed(nb::handle error) { return nb::make_tuple(false, error); }

Outcome read(nb::handle result) {
    nb::object members = py::steal_or_throw(PySequence_Tuple(result.ptr()));
    const Py_ssize_t count = PyTuple_GET_SIZE(members.ptr());
    if (count != 2)
        py::raise(PyExc_ValueError, "a delivery result must be (ok, error), got %zd values", count);
    return {py::truth(PyTuple_GET_ITEM(members.ptr(), 0)),
            nb::borrow(PyTuple_GET_ITEM(members.ptr(), 1))};
}

}  // namespace kilnguard::send_result
