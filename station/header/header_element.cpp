#include "header/header_element.h"

#include <cstdio>
#include <exception>
#include <vector>

#include "core/error.h"
#include "log/error_log.h"

namespace corva::station::header {
namespace {

std::string valueText(const dicom::Value& v)
{
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    if (const auto* d = std::get_if<double>(&v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", *d);
        return buf;
    }
    if (const auto* t = std::get_if<dicom::DateTime>(&v)) {
        char buf[64];
        std::string out;
        if (t->hasDate) {
            std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", t->day, t->month, t->year);
            out = buf;
        }
        if (t->hasTime) {
            std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t->hour, t->minute, t->second);
            out += (out.empty() ? "" : " ") + std::string(buf);
        }
        return out;
    }
    return {};
}

}  // namespace

std::string headerElement(const dicom::DataSet& image, dicom::Tag tag)
{
    try {
        const dicom::Attribute a = image.get(tag);
        if (!a.exists || a.isNull())
            return {};
        if (!a.multiValued())
            return a.text == dicom::UnknownDataType ? a.text : valueText(a.value(1));
        std::vector<std::string> taken;
        for (std::size_t n = 1; n <= a.values.size(); ++n) {
            const std::string v = valueText(a.value(n));
            if (v.empty() || (!taken.empty() && taken.back() == v))
                break;
            taken.push_back(v);
            if (v == dicom::UnknownDataType)
                break;
        }
        std::string out;
        for (std::size_t i = 0; i < taken.size(); ++i)
            out += (i ? " | " : "") + taken[i];
        return out;
    } catch (const Error& e) {
        log::LogError(e.code(), e.message(), "GetHeaderElement");
    } catch (const std::exception& e) {
        log::LogError(errc::Generic, e.what(), "GetHeaderElement");
    }
    return {};
}

}  // namespace corva::station::header
