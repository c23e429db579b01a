// Readable method names and the parsing of option values of the imgnorm
// program.  Every parse error is a CliError (kExitUsage) naming the option.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "baseif/mxPair.h"
#include "imgnorm/mxImageNormalizerDefs.h"

namespace imgnormcli {

using Method = mxImageNormalizerDefs::Method;

using MethodInfo = mxImageNormalizerDefs::MethodInfo;

// The library's methods as the program lists them: the trainable ones in
// flag order, then identity.
const std::vector<MethodInfo>& methodTable();
// "identity, histogram, ..." for messages and help.
std::string methodNameList();

// One method by its command-line name.
Method parseMethod(const std::string& text, const std::string& option);
// A comma-separated list of names (repeats allowed), or "all" for every
// trainable method.  The option may also be given several times: pass each
// value and OR the results.
Method parseMethodList(const std::string& text, const std::string& option);
// The command-line name of one method ("UnknownMethod" style text is never
// needed: unknown values give "method <n>").
std::string methodCliName(Method method);
// The names of a set, comma-separated ("none" for the empty set).
std::string methodSetText(std::uint32_t methods);

// The tool's message in the program's terms: the messages of the parameter
// checks name member functions and code expressions ("frac.x() <=
// frac.y()"), which mean nothing on a command line, so the rules they come
// from (told by the library's ruleOf) get the program's wording; any other
// message is returned as it is.
std::string userMessage(const std::wstring& toolMessage);

// The tool's parameters as the program spells them: the field of the tool's
// parameter records ("tailFractions") and the option that sets it
// ("--tail-fractions").
struct ParameterOption {
  const wchar_t* field;
  const char* option;
};
const std::vector<ParameterOption>& parameterOptions();
// One field of a parameter record as an option and a value the option takes:
// "tailFractions" "( 0.01 , 0.99 )" gives "--tail-fractions" "0.01,0.99",
// "keepMaskedPixels" "true" gives "--keep-masked" "yes"; a method field gives
// its command-line name(s); a field without an option keeps its name.
std::pair<std::string, std::string> parameterAsOption(const std::wstring& field, const std::wstring& value);

// "a,b" with two real numbers.
mxPair<double> parseRealPair(const std::string& text, const std::string& option);
// "n" (both elements), "a,b" or "axb" with 32-bit integers.  With
// allowSingle false only the two-number forms are accepted.
mxPair<std::int32_t> parseIntPair(const std::string& text, const std::string& option, bool allowSingle);

}  // namespace imgnormcli
