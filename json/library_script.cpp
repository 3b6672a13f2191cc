#include "json/library_script.h"

namespace tunova {

// One line, ASCII only. The fallback serialiser and parser are defined only where the engine
// lacks JSON; Duktape has a native one, so in practice only the first and the last statements
// take effect.
const char* const kJsonLibraryScript =
    "function get__count(c){var i=-2;for(v in c)i++;return i}"
    "if(typeof JSON!=='object'){JSON={};}"
    "(function(){"
    "function q(s){return '\"'+String(s).replace(/[\\\\\"\\u0000-\\u001f\\u007f-\\u009f\\u00ad"
    "\\u0600-\\u0604\\u070f\\u17b4\\u17b5\\u200c-\\u200f\\u2028-\\u202f\\u2060-\\u206f\\ufeff"
    "\\ufff0-\\uffff]/g,function(a){var m={'\\b':'\\\\b','\\t':'\\\\t','\\n':'\\\\n',"
    "'\\f':'\\\\f','\\r':'\\\\r','\"':'\\\\\"','\\\\':'\\\\\\\\'};return m[a]||"
    "'\\\\u'+('0000'+a.charCodeAt(0).toString(16)).slice(-4);})+'\"';}"
    "function s(v){if(v&&typeof v.toJSON==='function')v=v.toJSON();"
    "switch(typeof v){case 'string':return q(v);case 'number':return isFinite(v)?String(v):'null';"
    "case 'boolean':return String(v);case 'object':if(!v)return 'null';var p=[],k;"
    "if(Object.prototype.toString.apply(v)==='[object Array]'){for(k=0;k<v.length;k++){"
    "var e=s(v[k]);p.push(e===undefined?'null':e);}return '['+p.join(',')+']';}"
    "for(k in v){if(Object.prototype.hasOwnProperty.call(v,k)){var w=s(v[k]);"
    "if(w!==undefined)p.push(q(k)+':'+w);}}return '{'+p.join(',')+'}';}return undefined;}"
    "if(typeof JSON.stringify!=='function'){JSON.stringify=function(v){return s(v);};}"
    "if(typeof JSON.parse!=='function'){JSON.parse=function(t){"
    "if(/^[\\],:{}\\s]*$/.test(String(t).replace(/\\\\(?:[\"\\\\\\/bfnrt]|u[0-9a-fA-F]{4})/g,'@')"
    ".replace(/\"[^\"\\\\\\n\\r]*\"|true|false|null|-?\\d+(?:\\.\\d*)?(?:[eE][+\\-]?\\d+)?/g,']')"
    ".replace(/(?:^|:|,)(?:\\s*\\[)+/g,''))){return eval('('+t+')');}"
    "throw new SyntaxError('JSON.parse');};}"
    "if(typeof Date.prototype.toJSON!=='function'){"
    "var f=function(n){return n<10?'0'+n:n;};"
    "Date.prototype.toJSON=function(){return isFinite(this.valueOf())?this.getUTCFullYear()+'-'+"
    "f(this.getUTCMonth()+1)+'-'+f(this.getUTCDate())+'T'+f(this.getUTCHours())+':'+"
    "f(this.getUTCMinutes())+':'+f(this.getUTCSeconds())+'Z':null;};"
    "String.prototype.toJSON=Number.prototype.toJSON=Boolean.prototype.toJSON="
    "function(){return this.valueOf();};}"
    "})();"
    "if(!Object.prototype.toJSONString){"
    "Object.prototype.toJSONString=function(filter){return JSON.stringify(this,filter);};"
    "Object.prototype.parseJSON=function(filter){return JSON.parse(this,filter);};}";

} // namespace tunova
