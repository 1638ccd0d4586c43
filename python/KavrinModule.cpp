// SPDX-License-Identifier: MIT
// The native half of the Python module `kavrin` (python/kavrin/__init__.py is the other): thin
// calls into libkavrin through its C interface alone, with the interpreter's lock released
// while the library works. Failures raise kavrin.Error with the library's message.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <kavrin.h>

namespace py = pybind11;

namespace {

py::object& ErrorClass() {
    static py::object* error = new py::object();  // lives as long as the interpreter
    return *error;
}

[[noreturn]] void Raise(const kavrin_error& error) {
    py::object cls = ErrorClass();
    if (!cls) throw std::runtime_error(error.message);
    py::object exception = cls(py::str(error.message));
    exception.attr("status") = error.status;
    exception.attr("errno") =
        error.system_error != 0 ? py::object(py::int_(error.system_error)) : py::object(py::none());
    PyErr_SetObject(cls.ptr(), exception.ptr());
    throw py::error_already_set();
}

const char* OrNull(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

py::dict InfoDict(const kavrin_info& info) {
    py::dict d;
    d["restored_size"] = info.restored_size;
    d["archive_size"] = info.archive_size;
    d["filter_mode"] = info.filter_mode;
    d["type_text"] = py::bytes(info.type_text, info.type_length);
    return d;
}

class Reader {
public:
    Reader(uint64_t memory, unsigned threads) {
        kavrin_error error;
        reader_ = kavrin_reader_new(memory, threads, &error);
        if (!reader_) Raise(error);
    }
    ~Reader() { kavrin_reader_free(reader_); }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    kavrin_reader* get() const { return reader_; }

private:
    kavrin_reader* reader_ = nullptr;
};

// One open archive; its position is the Python file object's.
class Archive {
public:
    Archive(Reader& reader, const std::string& path) {
        kavrin_error error;
        {
            py::gil_scoped_release unlocked;
            archive_ = kavrin_open(reader.get(), path.c_str(), &error);
        }
        if (!archive_) Raise(error);
        kavrin_archive_info(archive_, &info_);
    }
    ~Archive() { Close(); }
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    void Close() {
        kavrin_close(archive_);
        archive_ = nullptr;
    }
    bool closed() const { return archive_ == nullptr; }

    // Reads into a writable buffer at `offset`: the count read.
    int64_t ReadInto(py::buffer target, uint64_t offset) {
        if (!archive_) throw py::value_error("I/O operation on closed file");
        py::buffer_info view = target.request(true);
        const size_t length = static_cast<size_t>(view.size * view.itemsize);
        kavrin_error error;
        int64_t got;
        {
            py::gil_scoped_release unlocked;
            got = kavrin_pread(archive_, view.ptr, length, offset, &error);
        }
        if (got < 0) Raise(error);
        return got;
    }

    uint64_t size() const { return info_.restored_size; }
    py::dict info() const { return InfoDict(info_); }

private:
    kavrin_archive* archive_ = nullptr;
    kavrin_info info_{};
};

std::string Compress(const std::string& path, const std::optional<std::string>& folder, int mode,
                     unsigned threads, unsigned flags) {
    kavrin_error error;
    std::string result(4096 + path.size(), '\0');
    int status;
    {
        py::gil_scoped_release unlocked;
        status = kavrin_compress_file(path.c_str(), OrNull(folder), mode, threads, flags,
                                      result.data(), result.size(), &error);
    }
    if (status != KAVRIN_OK) Raise(error);
    result.resize(result.find('\0'));
    return result;
}

std::string Expand(const std::string& path, const std::optional<std::string>& folder,
                   unsigned threads, unsigned flags) {
    kavrin_error error;
    std::string result(4096 + path.size(), '\0');
    int status;
    {
        py::gil_scoped_release unlocked;
        status = kavrin_expand_file(path.c_str(), OrNull(folder), threads, flags, result.data(),
                                    result.size(), &error);
    }
    if (status != KAVRIN_OK) Raise(error);
    result.resize(result.find('\0'));
    return result;
}

py::dict Info(const std::string& path) {
    kavrin_error error;
    kavrin_info info;
    if (kavrin_read_info(path.c_str(), &info, &error) != KAVRIN_OK) Raise(error);
    return InfoDict(info);
}

void Test(const std::string& path, unsigned threads) {
    kavrin_error error;
    int status;
    {
        py::gil_scoped_release unlocked;
        status = kavrin_test(path.c_str(), threads, &error);
    }
    if (status != KAVRIN_OK) Raise(error);
}

}  // namespace

PYBIND11_MODULE(_kavrin, m) {
    m.doc() = "The native half of kavrin: libkavrin's calls.";
    m.def("_set_error_class", [](py::object cls) { ErrorClass() = std::move(cls); });
    m.attr("version") = kavrin_version();
    m.attr("AUTO") = static_cast<int>(KAVRIN_MODE_AUTO);
    m.attr("NONE") = static_cast<int>(KAVRIN_MODE_NONE);
    m.attr("BITS8") = static_cast<int>(KAVRIN_MODE_8BIT);
    m.attr("BITS16") = static_cast<int>(KAVRIN_MODE_16BIT);
    m.attr("BITS24") = static_cast<int>(KAVRIN_MODE_24BIT);
    m.attr("BITS32") = static_cast<int>(KAVRIN_MODE_32BIT);
    m.attr("REPLACE") = KAVRIN_REPLACE;
    m.attr("VERIFY") = KAVRIN_VERIFY;

    py::class_<Reader>(m, "Reader").def(py::init<uint64_t, unsigned>());
    py::class_<Archive>(m, "Archive")
        .def(py::init<Reader&, const std::string&>(), py::keep_alive<1, 2>())
        .def("readinto", &Archive::ReadInto)
        .def("close", &Archive::Close)
        .def_property_readonly("closed", &Archive::closed)
        .def_property_readonly("size", &Archive::size)
        .def("info", &Archive::info);
    m.def("compress", &Compress);
    m.def("expand", &Expand);
    m.def("info", &Info);
    m.def("test", &Test);
}
