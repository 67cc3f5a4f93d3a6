%% The Erlang side of the BER cross-check: Erlang's asn1 application has
%% compiled the modules into BER codecs (erlc -bber) in DIR.
%%   escript ber_oracle.erl DIR FILE
%% FILE holds lines "MODULE TYPE HEX", each a value encoded by our codec;
%% every one must decode, constraints included, and encode again to the same
%% octets.
-module(ber_oracle).
-mode(compile).
-export([main/1]).

main([Dir, File]) ->
    true = code:add_patha(Dir),
    {ok, Bin} = file:read_file(File),
    Lines = [L || L <- string:lexemes(binary_to_list(Bin), "\n"), L =/= ""],
    Failures = [L || L <- Lines, check(L) =/= ok],
    io:format("erlang: ~b values checked, ~b differ~n", [length(Lines), length(Failures)]),
    halt(case {Lines, Failures} of {[_ | _], []} -> 0; _ -> 1 end);
main(_) ->
    io:format(standard_error, "usage: ber_oracle.erl DIR FILE~n", []),
    halt(2).

check(Line) ->
    [ModuleName, TypeName, Hex] = string:lexemes(Line, " "),
    {Module, Type} = {list_to_atom(ModuleName), list_to_atom(TypeName)},
    Ours = << <<(list_to_integer([A, B], 16))>> || <<A, B>> <= list_to_binary(Hex) >>,
    Result = case catch Module:decode(Type, Ours) of
                 {ok, Value} -> {catch Module:encode(Type, Value), Value};
                 Other -> {Other, undecoded}
             end,
    case Result of
        {{ok, Ours}, _} -> ok;
        {Why, Value2} -> io:format("~s~n  ~p~n  value ~p~n", [Line, Why, Value2]), failed
    end.
