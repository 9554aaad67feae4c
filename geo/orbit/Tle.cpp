// Fixed-column parsing of element sets. Columns are those of the published format (1-based in
// the comments, 0-based in the code).
#include "orbit/Tle.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace lrptgeo {

namespace {

std::string TrimRight(const std::string& s) {
    size_t end = s.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(s[end - 1])))
        --end;
    return s.substr(0, end);
}

std::string Trim(const std::string& s) {
    const std::string r = TrimRight(s);
    size_t start = 0;
    while (start < r.size() && std::isspace(static_cast<unsigned char>(r[start])))
        ++start;
    return r.substr(start);
}

class TLineReader {
  public:
    TLineReader(const std::string& aLine, std::string aWhere) : fLine(aLine), fWhere(std::move(aWhere)) {}

    [[noreturn]] void Fail(const std::string& aWhat) const { throw ETleError(fWhere + ": " + aWhat); }

    // A decimal number in columns aFirst..aLast (1-based, inclusive); blanks around it allowed.
    double Number(int aFirst, int aLast, const char* aField) const {
        const std::string text = Trim(fLine.substr(aFirst - 1, aLast - aFirst + 1));
        if (text.empty()) Fail(std::string("empty ") + aField);
        const char* begin = text.c_str();
        char* end = nullptr;
        const double value = std::strtod(begin, &end);
        if (end != begin + text.size() || !std::isfinite(value))
            Fail(std::string("bad ") + aField + " \"" + text + "\"");
        for (char c : text)
            if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '+')
                Fail(std::string("bad ") + aField + " \"" + text + "\"");
        return value;
    }

    // "SMMMMM-E": an implied leading decimal point and a power of ten, as the drag terms are written.
    double ImpliedExponent(int aFirst, int aLast, const char* aField) const {
        std::string text = Trim(fLine.substr(aFirst - 1, aLast - aFirst + 1));
        double sign = 1;
        if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
            sign = text[0] == '-' ? -1 : 1;
            text = Trim(text.substr(1));
        }
        const size_t split = text.find_last_of("+-");
        if (text.empty() || split == std::string::npos || split == 0 || split + 2 != text.size() ||
            !std::isdigit(static_cast<unsigned char>(text.back())))
            Fail(std::string("bad ") + aField + " \"" + Trim(fLine.substr(aFirst - 1, aLast - aFirst + 1)) +
                 "\"");
        const std::string mantissa = text.substr(0, split);
        for (char c : mantissa)
            if (!std::isdigit(static_cast<unsigned char>(c))) Fail(std::string("bad ") + aField);
        const int exponent = (text[split] == '-' ? -1 : 1) * (text.back() - '0');
        return sign * std::strtod(("0." + mantissa).c_str(), nullptr) * std::pow(10.0, exponent);
    }

    int CatalogueNumber() const {
        const std::string text = Trim(fLine.substr(2, 5));
        if (text.empty()) Fail("empty satellite number");
        int value = 0;
        size_t i = 0;
        if (std::isupper(static_cast<unsigned char>(text[0])) && text.size() == 5) {
            // Alpha-5: a letter for the ten-thousands, I and O left out.
            const char c = text[0];
            if (c == 'I' || c == 'O') Fail("bad satellite number \"" + text + "\"");
            value = (c - 'A' + 10 - (c > 'I' ? 1 : 0) - (c > 'O' ? 1 : 0)) * 10000;
            i = 1;
        }
        int rest = 0;
        for (; i < text.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                Fail("bad satellite number \"" + text + "\"");
            rest = rest * 10 + (text[i] - '0');
        }
        return value + rest;
    }

  private:
    const std::string& fLine;
    std::string fWhere;
};

std::string LineWhere(const std::string& aWhere, int aLineNumber) {
    return aWhere + ":" + std::to_string(aLineNumber);
}

void CheckLineShape(const std::string& aLine, char aKind, const std::string& aWhere) {
    if (aLine.size() != 69)
        throw ETleError(aWhere + ": line " + aKind + " of an element set must have 69 characters, not " +
                        std::to_string(aLine.size()));
    if (aLine[0] != aKind || aLine[1] != ' ')
        throw ETleError(aWhere + ": expected line " + aKind + " of an element set");
    if (!std::isdigit(static_cast<unsigned char>(aLine[68])))
        throw ETleError(aWhere + ": no checksum digit in column 69");
    const int sum = TleChecksum(aLine);
    if (sum != aLine[68] - '0')
        throw ETleError(aWhere + ": checksum wrong (line says " + aLine[68] + ", characters add up to " +
                        std::to_string(sum) + ")");
}

bool LooksLikeLine(const std::string& aLine, char aKind) {
    return aLine.size() >= 2 && aLine[0] == aKind && aLine[1] == ' ';
}

} // namespace

std::string TTle::DisplayName() const {
    return Name.empty() ? "NORAD " + std::to_string(NoradId) : Name;
}

int TleChecksum(const std::string& aLine) {
    int sum = 0;
    for (size_t i = 0; i < 68 && i < aLine.size(); ++i) {
        const char c = aLine[i];
        if (std::isdigit(static_cast<unsigned char>(c)))
            sum += c - '0';
        else if (c == '-')
            sum += 1;
    }
    return sum % 10;
}

TTle ParseTleLines(const std::string& aName, const std::string& aLine1, const std::string& aLine2,
                   const std::string& aWhere, int aLine1Number, int aLine2Number) {
    const std::string line1 = TrimRight(aLine1), line2 = TrimRight(aLine2);
    const std::string where1 = LineWhere(aWhere, aLine1Number);
    const std::string where2 = LineWhere(aWhere, aLine2Number > 0 ? aLine2Number : aLine1Number + 1);
    CheckLineShape(line1, '1', where1);
    CheckLineShape(line2, '2', where2);
    const TLineReader r1(line1, where1), r2(line2, where2);

    TTle tle;
    tle.Name = Trim(aName);
    if (tle.Name.size() > 2 && tle.Name[0] == '0' && tle.Name[1] == ' ') tle.Name = Trim(tle.Name.substr(2));
    tle.Line1 = line1;
    tle.Line2 = line2;
    tle.LineNumber = aLine1Number;
    tle.NoradId = r1.CatalogueNumber();
    if (r2.CatalogueNumber() != tle.NoradId)
        r2.Fail("satellite number " + std::to_string(r2.CatalogueNumber()) + " differs from line 1's " +
                std::to_string(tle.NoradId));

    const double year2 = r1.Number(19, 20, "epoch year");
    const double day = r1.Number(21, 32, "epoch day");
    if (year2 < 0 || year2 > 99 || year2 != std::floor(year2)) r1.Fail("bad epoch year");
    tle.EpochYear = static_cast<int>(year2) + (year2 < 57 ? 2000 : 1900);
    if (day < 1 || day >= 367) r1.Fail("epoch day out of range");
    tle.EpochDayOfYear = day;
    tle.Epoch = AddSeconds(UtcFromCalendar(tle.EpochYear, 1, 1), (day - 1.0) * 86400.0);

    TTleElements& e = tle.Elements;
    e.MeanMotionDotRevPerDay2 = r1.Number(34, 43, "first derivative of the mean motion");
    e.MeanMotionDdotRevPerDay3 = r1.ImpliedExponent(45, 52, "second derivative of the mean motion");
    e.BStarPerEarthRadii = r1.ImpliedExponent(54, 61, "drag term");

    e.InclinationDeg = r2.Number(9, 16, "inclination");
    e.RaanDeg = r2.Number(18, 25, "right ascension of the node");
    const std::string eccDigits = line2.substr(26, 7);
    for (char c : eccDigits)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != ' ')
            r2.Fail("bad eccentricity \"" + eccDigits + "\"");
    e.Eccentricity = std::strtod(("0." + Trim(eccDigits)).c_str(), nullptr);
    e.ArgPerigeeDeg = r2.Number(35, 42, "argument of perigee");
    e.MeanAnomalyDeg = r2.Number(44, 51, "mean anomaly");
    e.MeanMotionRevPerDay = r2.Number(53, 63, "mean motion");
    const std::string rev = Trim(line2.substr(63, 5));
    e.RevolutionNumber = rev.empty() ? 0 : static_cast<long>(r2.Number(64, 68, "revolution number"));

    if (e.InclinationDeg < 0 || e.InclinationDeg > 180) r2.Fail("inclination out of range");
    if (e.MeanMotionRevPerDay <= 0) r2.Fail("mean motion must be positive");
    return tle;
}

std::vector<TTle> ParseTleText(const std::string& aText, const std::string& aSourceName) {
    struct TLine {
        std::string Text;
        int Number;
    };
    std::vector<TLine> lines;
    std::istringstream in(aText);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Trim(line).empty()) continue;
        lines.push_back({line, number});
    }

    std::vector<TTle> result;
    for (size_t i = 0; i < lines.size();) {
        std::string name;
        if (!LooksLikeLine(lines[i].Text, '1')) {
            if (LooksLikeLine(lines[i].Text, '2'))
                throw ETleError(LineWhere(aSourceName, lines[i].Number) +
                                ": line 2 without a line 1 before it");
            name = lines[i].Text;
            ++i;
            if (i >= lines.size())
                throw ETleError(LineWhere(aSourceName, lines[i - 1].Number) +
                                ": name line without the element set's lines 1 and 2 after it");
        }
        if (!LooksLikeLine(lines[i].Text, '1'))
            throw ETleError(LineWhere(aSourceName, lines[i].Number) +
                            (LooksLikeLine(lines[i].Text, '2') ? ": line 2 without a line 1 before it"
                                                               : ": expected line 1 of an element set"));
        if (i + 1 >= lines.size() || !LooksLikeLine(lines[i + 1].Text, '2'))
            throw ETleError(
                LineWhere(aSourceName, i + 1 < lines.size() ? lines[i + 1].Number : lines[i].Number) +
                ": expected line 2 of an element set after line 1");
        TTle tle = ParseTleLines(name, lines[i].Text, lines[i + 1].Text, aSourceName, lines[i].Number,
                                 lines[i + 1].Number);
        result.push_back(std::move(tle));
        i += 2;
    }
    if (result.empty()) throw ETleError(aSourceName + ": no element set in the file");
    return result;
}

std::vector<TTle> ReadTleFile(const std::filesystem::path& aPath) {
    std::ifstream in(aPath, std::ios::binary);
    if (!in) throw ETleError(aPath.string() + ": cannot open the element set file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ETleError(aPath.string() + ": cannot read the element set file");
    return ParseTleText(text.str(), aPath.string());
}

} // namespace lrptgeo
