#include "mail/postfix/ValueLists.h"

#include <algorithm>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/join.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>

namespace kelmo::mail::postfix {

namespace {

const char kJoiner[] = ", ";

}  // namespace

std::vector<std::string> listElements(const std::string& value) {
    std::vector<std::string> elements;
    // boost::split yields one empty piece for an empty text; a list with
    // nothing in it has no elements.
    if (!value.empty()) {
        boost::algorithm::split(elements, value, boost::algorithm::is_any_of(" \t,"),
                                boost::algorithm::token_compress_on);
    }
    return elements;
}

ListEdit planAppend(const std::string& key, const std::string& current, const std::string& value) {
    ListEdit edit;
    const std::vector<std::string> elements = listElements(current);
    if (std::find(elements.begin(), elements.end(), value) != elements.end()) {
        // Writing mynetworks back stores the narrowed local networks that the
        // read put in place of Postfix's implicit default.
        if (key == "mynetworks") {
            edit.write = true;
            edit.text = current;
        }
        return edit;
    }
    edit.write = true;
    // The current text stays exactly as read, separators and all.
    edit.text = elements.empty() ? value : current + kJoiner + value;
    return edit;
}

ListEdit planRemove(const std::string& current, const std::string& value) {
    ListEdit edit;
    std::vector<std::string> kept;
    for (const std::string& element : listElements(current)) {
        if (element == value) {
            edit.write = true;
        } else {
            kept.push_back(element);
        }
    }
    if (edit.write) {
        edit.text = boost::algorithm::join(kept, kJoiner);
    }
    return edit;
}

ListEdit planAppendPair(const std::string& current, const std::string& first,
                        const std::string& second) {
    const std::string element = first + " " + second;
    std::vector<std::string> kept;
    if (!current.empty()) {
        const std::string wanted = boost::algorithm::trim_copy(element);
        std::vector<std::string> pieces;
        boost::algorithm::split(pieces, current, boost::algorithm::is_any_of(","),
                                boost::algorithm::token_compress_on);
        for (std::string& piece : pieces) {
            boost::algorithm::trim(piece);
            if (piece.empty()) {
                continue;
            }
            if (piece == wanted) {
                return ListEdit();
            }
            kept.push_back(piece);
        }
    }
    kept.push_back(element);
    ListEdit edit;
    edit.write = true;
    edit.text = boost::algorithm::join(kept, kJoiner);
    return edit;
}

}  // namespace kelmo::mail::postfix
