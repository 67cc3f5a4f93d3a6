%% The Erlang side of the BER cross-check: Erlang's asn1 application compiles
%% Sample.asn into a BER codec (erlc -bber) in DIR.
%%   escript ber_oracle.erl DIR check FILE
%%       FILE holds lines "TYPE HEX", each a value encoded by our codec; every
%%       one must decode (constraints included) and encode to the same octets.
%%   escript ber_oracle.erl DIR generate SEED COUNT FILE
%%       writes COUNT seeded random values of each listed type, encoded here.
-module(ber_oracle).
-mode(compile).
-export([main/1]).

-define(GENERATED, ['Message', 'Extended', 'Example', 'TonecCode', 'ErrorCause']).

main([Dir, "check", File]) ->
    setup(Dir),
    Lines = [L || L <- string:lexemes(read(File), "\n"), L =/= ""],
    Failures = [F || {N, Line} <- lists:zip(lists:seq(1, length(Lines)), Lines),
                     F <- [check_line(N, Line)], F =/= ok],
    io:format("erlang: ~b values checked, ~b differ~n", [length(Lines), length(Failures)]),
    halt(case {Lines, Failures} of {[_ | _], []} -> 0; _ -> 1 end);
main([Dir, "generate", Seed, Count, File]) ->
    setup(Dir),
    ok = asn1_db:dbstart(["."]),
    S = list_to_integer(Seed),
    _ = rand:seed(exsss, {S, S + 1, S + 2}),
    N = list_to_integer(Count),
    Out = [[atom_to_list(T), " ", hex(encode_random(T)), "\n"]
           || _ <- lists:seq(1, N), T <- ?GENERATED],
    ok = file:write_file(File, Out),
    io:format("erlang: ~b values written~n", [length(Out)]),
    halt(0);
main(_) ->
    io:format(standard_error, "usage: ber_oracle.erl DIR check FILE | DIR generate SEED COUNT FILE~n", []),
    halt(2).

setup(Dir) ->
    true = code:add_patha(Dir),
    ok = file:set_cwd(Dir).

encode_random(Type) ->
    {ok, Bin} = 'Sample':encode(Type, asn1ct_value:from_type('Sample', Type)),
    Bin.

check_line(N, Line) ->
    [Name, Hex] = string:lexemes(Line, " "),
    Type = list_to_atom(Name),
    Ours = unhex(Hex),
    case catch 'Sample':decode(Type, Ours) of
        {ok, Value} ->
            case catch 'Sample':encode(Type, Value) of
                {ok, Ours} -> ok;
                Other -> report(N, Line, io_lib:format("encodes differently: ~p~n  value ~p", [Other, Value]))
            end;
        Other ->
            report(N, Line, io_lib:format("does not decode: ~p", [Other]))
    end.

report(N, Line, Why) ->
    io:format("line ~b: ~s~n  ~s~n", [N, Line, Why]),
    failed.

read(File) ->
    {ok, Bin} = file:read_file(File),
    binary_to_list(Bin).

hex(Bin) -> [io_lib:format("~2.16.0b", [X]) || <<X>> <= Bin].

unhex(Hex) -> << <<(list_to_integer([A, B], 16))>> || <<A, B>> <= list_to_binary(Hex) >>.
