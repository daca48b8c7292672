function s = seconds(d)
% Stand-in for Octave 7, which lacks seconds: d is already in seconds.
s = d;
end
