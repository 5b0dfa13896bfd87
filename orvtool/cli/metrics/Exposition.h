// A small writer of the Prometheus text format (version 0.0.4): families with their "# HELP"
// and "# TYPE" lines, samples with labels. The text is the same for the same samples,
// whatever order they were added in: families sorted by name, samples by their labels.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace metrics {

enum class Type { gauge, counter };

// A sample's labels: name and value, in the order they are written.
using Labels = std::vector<std::pair<std::string, std::string>>;

class Exposition {
  public:
    // Declares a family; declaring it again keeps the first help and type. A family with no
    // sample is still written (its "# HELP" and "# TYPE"), so readers see it exists.
    void family(const std::string& name, Type type, std::string help);
    // A sample of a family declared before.
    void sample(const std::string& name, double value, Labels labels = {});
    // family and sample at once.
    void add(const std::string& name, Type type, std::string help, double value,
             Labels labels = {});

    std::string text() const;

  private:
    struct Family {
        Type type = Type::gauge;
        std::string help;
        std::vector<std::pair<Labels, double>> samples;
    };
    std::map<std::string, Family> families_;
};

// A label value as the format quotes it: backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);
// Help text: backslash and line feed escaped.
std::string escapeHelp(std::string_view help);
// A sample value: the shortest text that reads back as the same double, in the C locale
// whatever the process's; "NaN", "+Inf" and "-Inf" for those.
std::string formatValue(double value);

}  // namespace metrics
